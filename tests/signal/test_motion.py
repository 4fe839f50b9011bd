"""Rigid poses, dropout events and within-volume multiband motion."""
import math

import numpy as np
import pytest

import quorvel._core as core
from conftest import GOLDEN, M64, splitmix as mix

NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."
POSES = "poses must be (n, 6) [tx, ty, tz mm, rx, ry, rz deg], got "


def rotation(rx, ry, rz):
    (ca, sa), (cb, sb), (cc, sc) = ((math.cos(math.radians(v)), math.sin(math.radians(v))) for v in (rx, ry, rz))
    rz, ry = np.array([[cc, -sc, 0], [sc, cc, 0], [0, 0, 1]]), np.array([[cb, 0, sb], [0, 1, 0], [-sb, 0, cb]])
    return rz @ ry @ np.array([[1, 0, 0], [0, ca, -sa], [0, sa, ca]])


def resample_reference(vol, affine, pose):
    """vol [z, y, x] moved by pose [tx, ty, tz, rx, ry, rz] about the grid centre, sampled trilinearly."""
    n = np.array(vol.shape[::-1])
    a, t = affine[:3, :3], affine[:3, 3]
    c, r = a @ ((n - 1) / 2) + t, rotation(*pose[3:])
    out = np.zeros_like(vol)
    for z, y, x in np.ndindex(vol.shape):
        p = np.linalg.solve(a, r.T @ (a @ [x, y, z] + t - c - pose[:3]) + c - t)
        if np.all((p >= 0) & (p <= n - 1)):
            i0 = np.floor(p).astype(int)
            for corner in np.ndindex(2, 2, 2):
                i = np.minimum(i0 + corner, n - 1)
                out[z, y, x] += np.prod(np.where(corner, p - i0, 1 - (p - i0))) * vol[i[2], i[1], i[0]]
    return out


# ---- resolve_poses, poses_to_matrices, fov_center ----

def test_resolve_poses_zero_units_and_off():
    for kind in ["off", "random", "linear", "trajectory"]:
        assert core.resolve_poses(kind, 0, trans_mm=(1.0, 2.0, 3.0), poses=np.ones((2, 6))).shape == (0,)
    off = core.resolve_poses("off", 3, seed=9, trans_mm=(1.0, 1.0, 1.0), rot_deg=(2.0, 2.0, 2.0))
    assert off.dtype == np.float64 and off.shape == (18,) and not off.any()


@pytest.mark.parametrize("seed", [0, 7, 2**64 - 1])
@pytest.mark.parametrize("volumes", [None, [2], [3, 0, 3], [9, 1]])
def test_resolve_poses_random_is_sequential_splitmix(seed, volumes):
    trans, rot = (1.0, 0.5, 2.0), (3.0, 0.0, 1.5)
    out = core.resolve_poses("random", 4, seed=seed, trans_mm=trans, rot_deg=rot, volumes=volumes).reshape(4, 6)
    state, ref = (seed + 0x12345678) & M64, np.zeros((4, 6))
    for v in range(4) if volumes is None else volumes:
        if v < 4:  # skipped entries draw nothing; the draws follow list order, not indices
            u = [(mix(state := (state + GOLDEN) & M64) >> 11) * 2.0**-53 for _ in range(6)]
            vals = [ui * 2.0 * amp - amp for ui, amp in zip(u, rot + trans)]
            ref[v] = vals[3:] + vals[:3]
    np.testing.assert_array_equal(out, ref)


@pytest.mark.parametrize("volumes, tx", [(None, [1, 2, 3, 4]), ([1, 3], [0, 2, 2, 4]), ([1, 1], [0, 2, 2, 2]), ([3, 7], [0, 0, 0, 2]),
                                        ([], [0] * 4)])
def test_resolve_poses_linear_ramp(volumes, tx):
    out = core.resolve_poses("linear", 4, trans_mm=(4.0, 0.0, 0.0), rot_deg=(0.0, 8.0, 0.0), volumes=volumes).reshape(4, 6)
    np.testing.assert_array_equal(out[:, [0, 4]], np.array([tx, 2 * np.array(tx)], float).T)
    assert not out[:, [1, 2, 3, 5]].any()


@pytest.mark.parametrize("rows", [3, 5, 7])
def test_resolve_poses_trajectory_pads_or_truncates(rng, rows):
    table = rng.normal(size=(6, rows)).T  # strided
    out = core.resolve_poses("trajectory", 5, poses=table, trans_mm=(9.0, 9.0, 9.0)).reshape(5, 6)
    np.testing.assert_array_equal(out[: min(rows, 5)], table[:5])
    assert not out[min(rows, 5) :].any()


def test_poses_to_matrices_and_fov_center(rng):
    poses = np.vstack([np.zeros(6), np.column_stack([rng.uniform(-5, 5, (5, 3)), rng.uniform(-30, 30, (5, 3))])])
    center = np.array([3.5, -2.0, 10.25])
    out = core.poses_to_matrices(poses, tuple(center)).reshape(6, 4, 4)
    np.testing.assert_array_equal(out[0], np.eye(4))
    for m, p in zip(out, poses):
        r = rotation(*p[3:])
        np.testing.assert_allclose(m[:3], np.column_stack([r, center - r @ center + p[:3]]), rtol=0, atol=1e-13)
        np.testing.assert_array_equal(m[3], [0, 0, 0, 1])
    assert core.fov_center((0, 1, 1), np.eye(4)) == (-0.5, 0.0, 0.0)
    affine = np.array([[-2.0, 0.1, 0, 90], [0, 2.0, 0.3, -126], [0.2, 0, 2.5, -72], [0, 0, 0, 1]])
    np.testing.assert_allclose(core.fov_center((64, 80, 41), affine), affine[:3, :3] @ [31.5, 39.5, 20] + affine[:3, 3], atol=1e-12)


# ---- dropout_seed, dropout_events ----

@pytest.mark.parametrize("seed", [0, 99, 2**64 - 1])
@pytest.mark.parametrize("n_shots, rate", [(0, 1.0), (1, 1.0), (1, 0.5), (5, 0.2), (40, 0.05), (3, 0.0), (3, -1.0)])
def test_dropout_events_match_hash(rng, seed, n_shots, rate):
    bvals = rng.choice([0.0, 10.0, 49.9, 50.0, 1000.0, 3000.0], size=300)
    ref = []
    for v, b in enumerate(bvals):
        h = mix(((((v * 0x1000001) & M64) ^ seed) + GOLDEN) & M64)
        if b < 50.0 or (h % 100000) / 100000.0 >= rate:
            continue
        s = ((h >> 45) % 20) / 10 + 1
        severity = np.float32((h >> 33) % 40) / np.float32(100) + np.float32(0.6)
        ref.append({"volume": v, "shot": (h >> 20) % max(n_shots, 1), "severity": float(severity),
                    "jump_mm": (0.3 * s, s, 0.2 * s), "jump_deg": (0.5, 0.3, 0.2)})
    out = core.dropout_events(bvals, n_shots, rate, seed)
    assert core.dropout_seed(seed) == ((seed * GOLDEN) & M64) ^ 0xB10C5EED  # the events' seed from the run's
    assert out == ref and all(list(e) == list(ref[0]) for e in out)
    assert core.dropout_events(bvals[:0], n_shots, rate, seed) == []


# ---- Compartments.apply_multiband_motion ----

def compartments(rng, dims, ngrad, n_images=2):
    images = [rng.uniform(0.5, 1.5, dims[0] * dims[1] * dims[2] * ngrad).astype(np.float32) for _ in range(n_images)]
    return core.Compartments.from_images(dims, ngrad, images, [80.0] * n_images), images


def volumes(image, dims, ngrad):
    """[g, z, y, x] view of a flat interleaved image."""
    return image.reshape(dims[2], dims[1], dims[0], ngrad).transpose(3, 0, 1, 2)


def event(volume, shot, severity=0.0, jump_mm=(0.0, 0.0, 0.0), jump_deg=(0.0, 0.0, 0.0)):
    return {"volume": volume, "shot": shot, "severity": severity, "jump_mm": jump_mm, "jump_deg": jump_deg}


@pytest.mark.parametrize("nz, mb, interleaved, slice_z, nz_full, shots, groups", [
    (6, 2, False, None, None, range(10), [[0, 3], [1, 4], [2, 5]]),
    (6, 2, True, None, None, range(10), [[0, 3], [2, 5], [1, 4]]),
    (2, 4, False, None, None, range(10), [[0, 1]]),
    (3, 0, False, None, None, range(10), [[0], [1], [2]]),
    (3, 1, True, None, None, range(10), [[0], [2], [1]]),
    # a slab: shots follow the full stack, slices are hit at their local places
    (2, 4, False, [4, 5], 8, [0, 1], [[0, 2, 4, 6], [1, 3, 5, 7]]),
    (2, 4, False, [4, 4], 8, [0], [[0, 2, 4, 6]]),  # a repeated slice belongs to its first position
    (2, 1, False, None, 4, [1, 3], [[1], [3]]),  # slice 3 lies beyond the local stack
])
def test_slice_schedule_through_dropped_shots(rng, nz, mb, interleaved, slice_z, nz_full, shots, groups):
    # Full attenuation of the listed shots of volume 1; shots past the schedule and volumes past
    # ngrad are ignored.
    dims = (2, 3, nz)
    comp, images = compartments(rng, dims, 2)
    events = [event(1, s, 1.0) for s in shots] + [event(2, 0, 1.0)]
    dropped = comp.apply_multiband_motion(np.eye(4), mb, interleaved, np.full(2, 1000.0), 1000.0, events,
                                          slice_z=slice_z, nz_full=nz_full)
    assert dropped == [{"volume": 1, "shot": s, "slices": g, "attenuation": 0.0} for s, g in zip(shots, groups)]
    local = list(range(nz) if slice_z is None else slice_z)
    for new, old in zip(comp.images(), images):
        expect = volumes(old.copy(), dims, 2)
        expect[1, [local.index(z) for g in groups for z in g if z in local]] = 0.0
        np.testing.assert_array_equal(volumes(new, dims, 2), expect)


@pytest.mark.parametrize("mb, nz_full, slice_z", [
    (1, M64, None), (1, M64, [M64 - 1, M64 - 3, 2**63, 2**63 - 1]), (2, M64, [2**63 - 2, M64 - 3, 2**63 - 1, 1]),
    (3, M64 - 1, None), (3, M64 - 1, [M64 // 3 - 2, M64 - 3, 2 * (M64 // 3), M64 // 3]),
])
@pytest.mark.parametrize("interleaved", [False, True])
def test_tall_stacks_report_exactly_the_slices_they_attenuate(rng, mb, nz_full, slice_z, interleaved):
    # One fully attenuated shot per volume around the schedule's turning points; the last shot
    # named lies beyond it.
    n_groups = nz_full // mb
    evens = (n_groups + 1) // 2 if interleaved else n_groups
    shots = [s for s in sorted({0, 1, evens - 1, evens, evens + 1, n_groups - 2, n_groups - 1}) if 0 <= s < n_groups] + [n_groups]
    comp, _ = compartments(rng, (2, 1, 4), len(shots), n_images=1)
    dropped = comp.apply_multiband_motion(np.eye(4), mb, interleaved, np.full(len(shots), 1000.0), 1000.0,
                                          [event(v, s, 1.0) for v, s in enumerate(shots)], slice_z=slice_z, nz_full=nz_full)
    assert [(d["volume"], d["shot"]) for d in dropped] == list(enumerate(shots[:-1]))
    local, zeroed = list(range(4) if slice_z is None else slice_z), volumes(comp.images()[0], (2, 1, 4), len(shots)) == 0
    for v, d in enumerate(dropped):
        g = d["shot"] if not interleaved else 2 * d["shot"] if d["shot"] < evens else 2 * (d["shot"] - evens) + 1
        assert d["slices"] == [g + k * n_groups for k in range(mb)]
        assert np.flatnonzero(zeroed[v].all(axis=(1, 2))).tolist() == sorted(local.index(z) for z in d["slices"] if z in local)
    assert not zeroed[-1].any()


def test_mb_beyond_the_stack_is_mb_equal_to_the_stack():
    # Many events with jumps and attenuation: one group of every slice either way.
    events = [event(v % 5, v % 2, v % 7 / 10, jump_mm=(v % 3 / 10, 0.0, 0.2), jump_deg=(0.0, v % 4, 0.0)) for v in range(20000)]
    runs = [compartments(np.random.default_rng(42), (4, 3, 3), 5) for _ in range(2)]
    dropped = [c.apply_multiband_motion(np.eye(4), mb, True, np.full(5, 1000.0), 2000.0, events) for (c, _), mb in zip(runs, (3, M64))]
    assert dropped[0] == dropped[1] and len(dropped[0]) == 10000 and dropped[0][0]["slices"] == [0, 1, 2]
    for a, b, old in zip(runs[0][0].images(), runs[1][0].images(), runs[0][1]):
        np.testing.assert_array_equal(a, b)
        assert not np.array_equal(a, old)


def gain(b, b_max, s):
    return float(np.float32(1.0) - np.float32(b / b_max) * np.float32(s))


@pytest.mark.parametrize("b, b_max, severities, gains", [
    (1000.0, 3000.0, [0.7], None), (2900.0, 3000.0, [0.99], None), (3000.0, 3000.0, [0.6], None),
    (1000.0, 1000.0, [0.5, 0.5], None),  # two events on one shot multiply twice
    (1000.0, 1000.0, [0.0], None), (40.0, 1000.0, [0.9], [1.0]),  # unweighted volumes keep their intensity
    (1000.0, 0.0, [0.9], [1.0]), (1000.0, -5.0, [0.9], [1.0]),
    (1000.0, math.nan, [0.9], [math.nan]),  # like a NaN b-value
])
def test_attenuation_is_float32_gain_on_the_shot_slices(rng, b, b_max, severities, gains):
    dims, ngrad, gains = (2, 2, 4), 3, gains or [gain(b, b_max, s) for s in severities]
    comp, images = compartments(rng, dims, ngrad)
    dropped = comp.apply_multiband_motion(np.eye(4), 2, False, np.array([0.0, b, 1000.0]), b_max, [event(1, 1, s) for s in severities])
    np.testing.assert_equal(dropped, [{"volume": 1, "shot": 1, "slices": [1, 3], "attenuation": g} for g in gains])
    for new, old in zip(comp.images(), images):
        ref = volumes(old.copy(), dims, ngrad)
        for g in gains:
            ref[1, [1, 3]] *= np.float32(g)
        np.testing.assert_array_equal(volumes(new, dims, ngrad), ref)


def test_multiband_slab_with_jumps_within_volumes(rng):
    # interleaved mb 2 over a full stack of 8; the slab holds slices 5, 2, 6, 1 in that local order;
    # the head stays where each jump left it
    dims, ngrad, slice_z, nz_full = (5, 4, 4), 4, [5, 2, 6, 1], 8
    affine = np.array([[1.5, 0.1, 0.0, -3.0], [0.0, 1.7, 0.1, 2.0], [0.1, 0.0, 2.0, 1.0], [0, 0, 0, 1]])
    bvals = np.array([1000.0, 2000.0, 20.0, 1000.0])  # volume 3 has no event
    events = [event(0, 1, 0.3, jump_mm=(0.6, 0.0, 0.0)), event(0, 2, 0.0, jump_deg=(0.0, 0.0, 9.0)),
              event(1, 0, 0.5, jump_mm=(0.0, 0.4, 0.2), jump_deg=(4.0, 0.0, 0.0)), event(1, 0, 0.2),
              event(1, 3, 0.9, jump_mm=(-0.5, 0.0, 0.3)), event(2, 2, 0.8, jump_deg=(0.0, 6.0, 0.0)), event(1, 4, 1.0)]
    comp, images = compartments(rng, dims, ngrad)
    dropped = comp.apply_multiband_motion(affine, 2, True, bvals, 2000.0, events, slice_z=slice_z, nz_full=nz_full)
    groups = [[0, 4], [2, 6], [1, 5], [3, 7]]
    local = [[slice_z.index(z) for z in g if z in slice_z] for g in groups]
    gains, want = [], [volumes(i, dims, ngrad).astype(float) for i in images]
    for v in range(ngrad):
        mine = [e for e in events if e["volume"] == v and e["shot"] < len(groups)]
        poses = [sum((np.r_[e["jump_mm"], e["jump_deg"]] for e in mine if e["shot"] <= s), np.zeros(6)) for s in range(4)]
        for ref in want:
            old = ref[v].copy()
            for s in range(4):
                if poses[s].any():
                    ref[v, local[s]] = resample_reference(old, affine, poses[s])[local[s]]
        for e in mine:
            g = 1.0 if bvals[v] < 50 else gain(bvals[v], 2000.0, e["severity"])
            gains.append({"volume": v, "shot": e["shot"], "slices": groups[e["shot"]], "attenuation": g})
            for ref in want:
                ref[v, local[e["shot"]]] *= np.float32(g)
    assert dropped == gains
    for new, old, ref in zip(comp.images(), images, want):
        np.testing.assert_allclose(volumes(new, dims, ngrad), ref, rtol=0, atol=3e-7)  # float32 of values below 1.5
        np.testing.assert_array_equal(volumes(new, dims, ngrad)[3], volumes(old, dims, ngrad)[3])


# ---- errors ----

def multiband(comp, **change):
    args = dict(affine=np.eye(4), mb=1, interleaved=False, bvals=np.full(3, 1000.0), b_max=1000.0,
                events=[event(0, 0, 1.0, jump_mm=(1.0, 0, 0))])
    return comp.apply_multiband_motion(**{**args, **change})


@pytest.mark.parametrize("call, message", [
    (lambda c: core.resolve_poses("Random", 2), 'kind: expected random/linear/trajectory/off, got "Random"'),
    (lambda c: core.resolve_poses("trajectory", 2), "trajectory needs poses"),
    (lambda c: core.resolve_poses("trajectory", 2, poses=np.zeros((2, 5))), POSES + "[2, 5]"),
    (lambda c: core.poses_to_matrices(np.zeros((1, 7)), (0.0, 0.0, 0.0)), POSES + "[1, 7]"),
    (lambda c: core.fov_center((3, 3, 3), np.eye(4)[:3]), "affine must be (4, 4), got [3, 4]"),
    (lambda c: core.dropout_events(np.full(8, 1000.0)[::2], 3, 1.0, 5), NOT_CONTIGUOUS),
    (lambda c: multiband(c, affine=np.eye(4)[:3]), "affine must be (4, 4), got [3, 4]"),
    (lambda c: multiband(c, affine=np.diag([1.0, 1, 0, 1]), events=[1]), "grid affine is singular"),
    (lambda c: multiband(c, affine=np.full((4, 4), np.nan)), "grid affine is singular"),
    (lambda c: multiband(c, events=[1], bvals=np.ones(2)), "events must be dicts"),  # events are read first
    (lambda c: multiband(c, events=[{"jump_deg": (0.0, 0.0, 0.0)}]), "event: jump_mm missing"),
    (lambda c: multiband(c, events=[{"jump_mm": (0.0, 0.0, 0.0)}]), "event: jump_deg missing"),
    (lambda c: multiband(c, events=[event(-1, 0)]), "volume: expected a non-negative integer"),
    (lambda c: multiband(c, events=[event(0, 1.5)]), "shot: expected a non-negative integer"),
    (lambda c: multiband(c, events=[event(0, 0, "x")]), "severity: expected a number"),
    (lambda c: multiband(c, bvals=np.full(2, 1000.0)), "bvals: expected 3 values, got 2"),
    (lambda c: multiband(c, slice_z=[0]), "slice_z: expected 2 values, got 1"),
    (lambda c: multiband(c, bvals=np.full(6, 1000.0)[::2]), NOT_CONTIGUOUS),
    (lambda c: multiband(c, mb=2**63, nz_full=2**63), "mb 9223372036854775808 on 9223372036854775808 slices "
     "makes groups of 9223372036854775808 slices: 1 dropped shots would list more than 16777216 slices"),
    (lambda c: multiband(c, mb=5000, events=[event(0, 0, 1.0)] * 5000, nz_full=5000),
     "mb 5000 on 5000 slices makes groups of 5000 slices: 5000 dropped shots would list more than 16777216 slices"),
])
def test_errors_leave_the_images_untouched(rng, call, message):
    comp, images = compartments(rng, (3, 2, 2), 3)
    with pytest.raises(ValueError) as info:
        call(comp)
    assert str(info.value) == message
    for new, old in zip(comp.images(), images):
        np.testing.assert_array_equal(new, old)
    # neither poisoned nor blocked; events may be any iterable, with volume 0, shot 0, severity 1 by default
    events = ({"jump_mm": (0.0, 0.0, 0.0), "jump_deg": (0.0, 0.0, 0.0), "shot": None} for _ in range(1))
    assert multiband(comp, b_max=2000.0, events=events) == [{"volume": 0, "shot": 0, "slices": [0], "attenuation": 0.5}]


# A jump read back from JSON is a list: the tuple converter's TypeError names the event key.
@pytest.mark.parametrize("key", ["jump_mm", "jump_deg"])
def test_event_jump_of_the_wrong_type_names_its_key(rng, key):
    comp, _ = compartments(rng, (3, 2, 2), 3)
    e = event(0, 0, 1.0) | {key: [0.0, 0.0, 0.0]}
    with pytest.raises(TypeError) as info:
        multiband(comp, events=[e])
    assert (str(info.value), info.value.__notes__) == ("'list' object is not an instance of 'tuple'", [f"while processing '{key}'"])
