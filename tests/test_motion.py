"""Rigid poses, dropout events and within-volume multiband motion."""
import math
import re

import numpy as np
import pytest

import quorvel._core as core

M64 = (1 << 64) - 1
GOLDEN = 0x9E3779B97F4A7C15
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def mix(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return z ^ (z >> 31)


def rotation(rx, ry, rz):
    a, b, c = (math.radians(v) for v in (rx, ry, rz))
    r_x = np.array([[1, 0, 0], [0, math.cos(a), -math.sin(a)], [0, math.sin(a), math.cos(a)]])
    r_y = np.array([[math.cos(b), 0, math.sin(b)], [0, 1, 0], [-math.sin(b), 0, math.cos(b)]])
    r_z = np.array([[math.cos(c), -math.sin(c), 0], [math.sin(c), math.cos(c), 0], [0, 0, 1]])
    return r_z @ r_y @ r_x


def trilinear(vol, p):
    """vol indexed [z, y, x]; p = (x, y, z) voxel coordinates; 0 outside [0, n-1]."""
    n = (vol.shape[2], vol.shape[1], vol.shape[0])
    if any(not (0.0 <= p[a] <= n[a] - 1) for a in range(3)):
        return 0.0
    i0 = [int(math.floor(p[a])) for a in range(3)]
    i1 = [min(n[a] - 1, i0[a] + 1) for a in range(3)]
    f = [p[a] - i0[a] for a in range(3)]
    out = 0.0
    for dz, wz in ((i0[2], 1 - f[2]), (i1[2], f[2])):
        for dy, wy in ((i0[1], 1 - f[1]), (i1[1], f[1])):
            for dx, wx in ((i0[0], 1 - f[0]), (i1[0], f[0])):
                out += wz * wy * wx * float(vol[dz, dy, dx])
    return out


def resample_reference(vol, affine, pose):
    """vol [z, y, x] moved by pose [tx, ty, tz, rx, ry, rz] about the grid centre."""
    nz, ny, nx = vol.shape
    a, t = affine[:3, :3], affine[:3, 3]
    c = a @ np.array([(nx - 1) / 2, (ny - 1) / 2, (nz - 1) / 2]) + t
    r = rotation(*pose[3:])
    a_inv = np.linalg.inv(a)
    out = np.zeros_like(vol)
    for z in range(nz):
        for y in range(ny):
            for x in range(nx):
                w = a @ np.array([x, y, z], float) + t
                s = r.T @ (w - c - np.asarray(pose[:3])) + c
                out[z, y, x] = trilinear(vol, a_inv @ (s - t))
    return out


# ---------------------------------------------------------------- resolve_poses


def random_reference(n_units, seed, trans, rot, volumes):
    state = (seed + 0x12345678) & M64
    poses = np.zeros((n_units, 6))
    for v in volumes:
        if v >= n_units:
            continue
        u = []
        for _ in range(6):
            state = (state + GOLDEN) & M64
            u.append((mix(state) >> 11) * 2.0**-53)
        amps = list(rot) + list(trans)
        vals = [u[i] * 2.0 * amps[i] - amps[i] for i in range(6)]
        poses[v] = vals[3:] + vals[:3]
    return poses


@pytest.mark.parametrize("kind", ["off", "random", "linear", "trajectory"])
def test_resolve_poses_zero_units_is_empty(kind):
    out = core.resolve_poses(kind, 0, trans_mm=(1.0, 2.0, 3.0), poses=np.ones((2, 6)))
    assert out.dtype == np.float64 and out.shape == (0,)


def test_resolve_poses_off_is_identity():
    out = core.resolve_poses("off", 3, seed=9, trans_mm=(1.0, 1.0, 1.0), rot_deg=(2.0, 2.0, 2.0))
    assert out.shape == (18,) and not out.any()


@pytest.mark.parametrize("seed", [0, 7, 2**64 - 1])
@pytest.mark.parametrize("volumes", [None, [2], [3, 0, 3], [9, 1]])
def test_resolve_poses_random_matches_sequential_splitmix(seed, volumes):
    trans, rot = (1.0, 0.5, 2.0), (3.0, 0.0, 1.5)
    out = core.resolve_poses("random", 4, seed=seed, trans_mm=trans, rot_deg=rot, volumes=volumes)
    ref = random_reference(4, seed, trans, rot, range(4) if volumes is None else volumes)
    np.testing.assert_array_equal(out.reshape(4, 6), ref)


def test_resolve_poses_random_draws_follow_list_order():
    rot_only = core.resolve_poses("random", 4, seed=11, rot_deg=(2.0, 2.0, 2.0)).reshape(4, 6)
    assert not rot_only[:, :3].any()
    assert np.all(rot_only[:, 3:] >= -2.0) and np.all(rot_only[:, 3:] < 2.0)
    np.testing.assert_array_equal(rot_only, core.resolve_poses("random", 4, seed=11, rot_deg=(2.0, 2.0, 2.0)).reshape(4, 6))
    only2 = core.resolve_poses("random", 4, seed=11, rot_deg=(2.0, 2.0, 2.0), volumes=[2]).reshape(4, 6)
    only0 = core.resolve_poses("random", 4, seed=11, rot_deg=(2.0, 2.0, 2.0), volumes=[0]).reshape(4, 6)
    assert not np.delete(only2, 2, axis=0).any()
    np.testing.assert_array_equal(only2[2], only0[0])


@pytest.mark.parametrize(
    "volumes, tx",
    [(None, [1, 2, 3, 4]), ([1, 3], [0, 2, 2, 4]), ([1, 1], [0, 2, 2, 2]), ([3, 7], [0, 0, 0, 2]), ([], [0, 0, 0, 0])],
)
def test_resolve_poses_linear_ramp(volumes, tx):
    out = core.resolve_poses("linear", 4, trans_mm=(4.0, 0.0, 0.0), rot_deg=(0.0, 8.0, 0.0), volumes=volumes)
    out = out.reshape(4, 6)
    np.testing.assert_array_equal(out[:, 0], tx)
    np.testing.assert_array_equal(out[:, 4], 2.0 * np.array(tx, float))
    assert not out[:, [1, 2, 3, 5]].any()


@pytest.mark.parametrize("rows", [3, 5, 7])
def test_resolve_poses_trajectory_pads_or_truncates(rng, rows):
    table = rng.normal(size=(rows, 6))
    out = core.resolve_poses("trajectory", 5, poses=table, trans_mm=(9.0, 9.0, 9.0)).reshape(5, 6)
    k = min(rows, 5)
    np.testing.assert_array_equal(out[:k], table[:k])
    assert not out[k:].any()


def test_resolve_poses_trajectory_reads_strided_tables(rng):
    table = rng.normal(size=(6, 4))
    view = table.T  # (4, 6), not C-contiguous
    out = core.resolve_poses("trajectory", 4, poses=view)
    np.testing.assert_array_equal(out.reshape(4, 6), view)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(kind="Random", n_units=2), 'kind: expected random/linear/trajectory/off, got "Random"'),
        (dict(kind="", n_units=2), 'kind: expected random/linear/trajectory/off, got ""'),
        (dict(kind="trajectory", n_units=2), "trajectory needs poses"),
        (
            dict(kind="trajectory", n_units=2, poses=np.zeros((2, 5))),
            "poses must be (n, 6) [tx, ty, tz mm, rx, ry, rz deg], got [2, 5]",
        ),
    ],
)
def test_resolve_poses_value_errors(kwargs, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        core.resolve_poses(**kwargs)


@pytest.mark.parametrize(
    "kwargs, exc, name",
    [
        (dict(kind="random", n_units=-1), OverflowError, "n_units"),
        (dict(kind="random", n_units=2, trans_mm=(1.0, 2.0)), TypeError, "trans_mm"),
        (dict(kind="random", n_units=2, volumes="01"), TypeError, "volumes"),
        (dict(kind="trajectory", n_units=2, poses=np.zeros(6)), TypeError, "poses"),
        (dict(kind="off", n_units=2, seed=2**64), OverflowError, "seed"),
    ],
)
def test_resolve_poses_type_errors_name_the_argument(kwargs, exc, name):
    with pytest.raises(exc) as info:
        core.resolve_poses(**kwargs)
    assert f"while processing '{name}'" in info.value.__notes__


# ---------------------------------------------------------------- poses_to_matrices, fov_center


def test_poses_to_matrices_matches_rotation_about_centre(rng):
    poses = np.column_stack([rng.uniform(-5, 5, (6, 3)), rng.uniform(-30, 30, (6, 3))])
    center = (3.5, -2.0, 10.25)
    out = core.poses_to_matrices(poses, center).reshape(6, 4, 4)
    for m, p in zip(out, poses):
        r = rotation(*p[3:])
        # A few ulps of the 10 mm centre through three rotations.
        np.testing.assert_allclose(m[:3, :3], r, rtol=0, atol=1e-15)
        np.testing.assert_allclose(m[:3, 3], np.asarray(center) - r @ center + p[:3], rtol=0, atol=1e-13)
        np.testing.assert_array_equal(m[3], [0, 0, 0, 1])


def test_poses_to_matrices_zero_pose_and_fixed_centre():
    center = (1.5, 2.5, -7.0)
    ident, rot = core.poses_to_matrices(np.array([[0.0] * 6, [0, 0, 0, 10.0, -20.0, 33.0]]), center).reshape(2, 4, 4)
    np.testing.assert_array_equal(ident, np.eye(4))
    np.testing.assert_allclose(rot @ np.array([*center, 1.0]), [*center, 1.0], rtol=0, atol=1e-14)
    assert core.poses_to_matrices(np.zeros((0, 6)), center).shape == (0,)


def test_poses_to_matrices_errors():
    with pytest.raises(ValueError, match=r"^poses must be \(n, 6\) \[tx, ty, tz mm, rx, ry, rz deg\], got \[1, 7\]$"):
        core.poses_to_matrices(np.zeros((1, 7)), (0.0, 0.0, 0.0))
    with pytest.raises(TypeError) as info:
        core.poses_to_matrices(np.zeros((1, 6)), [0.0, 0.0, 0.0])
    assert "while processing 'center'" in info.value.__notes__


def test_fov_center():
    assert core.fov_center((3, 3, 3), np.eye(4)) == (1.0, 1.0, 1.0)
    affine = np.array([[-2.0, 0.1, 0, 90], [0, 2.0, 0.3, -126], [0.2, 0, 2.5, -72], [0, 0, 0, 1]])
    dims = (64, 80, 41)
    ref = affine[:3, :3] @ ((np.array(dims) - 1) / 2) + affine[:3, 3]
    np.testing.assert_allclose(core.fov_center(dims, affine), ref, rtol=0, atol=1e-12)
    assert core.fov_center((0, 1, 1), np.eye(4)) == (-0.5, 0.0, 0.0)
    with pytest.raises(ValueError, match=r"^affine must be \(4, 4\), got \[3, 4\]$"):
        core.fov_center((3, 3, 3), np.eye(4)[:3])


# ---------------------------------------------------------------- dropout_seed, dropout_events


@pytest.mark.parametrize("run_seed", [0, 1, 12345, 2**64 - 1])
def test_dropout_seed(run_seed):
    assert core.dropout_seed(run_seed) == ((run_seed * GOLDEN) & M64) ^ 0xB10C5EED


def test_dropout_seed_of_zero():
    assert core.dropout_seed(0) == 2970377965


def events_reference(bvals, n_shots, rate, seed):
    out = []
    for v, b in enumerate(bvals):
        if b < 50.0:
            continue
        h = mix(((((v * 0x1000001) & M64) ^ seed) + GOLDEN) & M64)
        if (h % 100000) / 100000.0 >= rate:
            continue
        s = ((h >> 45) % 20) / 10 + 1
        severity = np.float32((h >> 33) % 40) / np.float32(100) + np.float32(0.6)
        out.append(
            {
                "volume": v,
                "shot": (h >> 20) % max(n_shots, 1),
                "severity": float(severity),
                "jump_mm": (0.3 * s, s, 0.2 * s),
                "jump_deg": (0.5, 0.3, 0.2),
            }
        )
    return out


@pytest.mark.parametrize("seed", [0, 99, 2**64 - 1])
@pytest.mark.parametrize("n_shots, rate", [(0, 1.0), (1, 0.5), (5, 0.2), (40, 0.05)])
def test_dropout_events_match_hash(rng, seed, n_shots, rate):
    bvals = rng.choice([0.0, 10.0, 50.0, 1000.0, 3000.0], size=300)
    out = core.dropout_events(bvals, n_shots, rate, seed)
    assert out == events_reference(bvals, n_shots, rate, seed)
    assert all(list(e) == ["volume", "shot", "severity", "jump_mm", "jump_deg"] for e in out)


def test_dropout_events_rate_bounds():
    bvals = np.array([0.0, 49.9, 50.0, 1000.0, 2000.0, 1000.0])
    assert core.dropout_events(bvals, 4, 0.0, 3) == []
    assert core.dropout_events(bvals, 4, -1.0, 3) == []
    every = core.dropout_events(bvals, 1, 1.0, 3)
    assert [e["volume"] for e in every] == [2, 3, 4, 5]
    assert {e["shot"] for e in every} == {0}
    assert {e["shot"] for e in core.dropout_events(bvals, 0, 1.0, 3)} == {0}
    assert core.dropout_events(np.zeros(0), 4, 1.0, 3) == []
    assert core.dropout_events(np.full(20, 49.0), 4, 1.0, 3) == []


def test_dropout_events_raising_rate_only_adds_events(rng):
    bvals = np.full(500, 1000.0)
    low = core.dropout_events(bvals, 6, 0.2, 17)
    high = core.dropout_events(bvals, 6, 0.6, 17)
    assert 0 < len(low) < len(high)
    by_volume = {e["volume"]: e for e in high}
    assert all(by_volume[e["volume"]] == e for e in low)
    assert core.dropout_events(bvals, 6, 0.6, 17) == high


def test_dropout_events_severity_is_widened_float32():
    events = core.dropout_events(np.full(400, 1000.0), 3, 1.0, 5)
    severities = {e["severity"] for e in events}
    assert 0.6000000238418579 in severities
    assert all(float(np.float32(s)) == s and 0.6 <= s < 1.0 for s in severities)
    assert all(1.0 <= e["jump_mm"][1] <= 2.9 for e in events)


def test_dropout_events_errors():
    with pytest.raises(ValueError, match=f"^{re.escape(NOT_CONTIGUOUS)}$"):
        core.dropout_events(np.full(8, 1000.0)[::2], 3, 1.0, 5)
    with pytest.raises(OverflowError) as info:
        core.dropout_events(np.zeros(2), -1, 1.0, 5)
    assert "while processing 'n_shots'" in info.value.__notes__


# ---------------------------------------------------------------- Compartments.apply_multiband_motion


def make_compartments(rng, dims, ngrad, n_images=2):
    nvox = dims[0] * dims[1] * dims[2]
    images = [rng.uniform(0.5, 1.5, nvox * ngrad).astype(np.float32) for _ in range(n_images)]
    comp = core.Compartments.from_images(dims, ngrad, images, [80.0] * n_images)
    return comp, images


def volumes_of(image, dims, ngrad):
    """[g, z, y, x] view of a flat interleaved image."""
    nx, ny, nz = dims
    return image.reshape(nz, ny, nx, ngrad).transpose(3, 0, 1, 2)


def zero_event(volume, shot, severity=0.0, jump_mm=(0.0, 0.0, 0.0), jump_deg=(0.0, 0.0, 0.0)):
    return {"volume": volume, "shot": shot, "severity": severity, "jump_mm": jump_mm, "jump_deg": jump_deg}


@pytest.mark.parametrize(
    "nz, mb, interleaved, groups",
    [
        (6, 2, False, [[0, 3], [1, 4], [2, 5]]),
        (6, 2, True, [[0, 3], [2, 5], [1, 4]]),
        (8, 2, True, [[0, 4], [2, 6], [1, 5], [3, 7]]),
        (7, 3, False, [[0, 2, 4], [1, 3, 5]]),
        (2, 4, False, [[0, 1]]),
        (3, 0, False, [[0], [1], [2]]),
        (3, 1, True, [[0], [2], [1]]),
    ],
)
def test_slice_schedule_through_dropped_shots(rng, nz, mb, interleaved, groups):
    dims = (2, 3, nz)
    comp, images = make_compartments(rng, dims, 1)
    # One harmless event per shot number, more than any schedule has: the extra ones are ignored.
    events = [zero_event(0, s) for s in range(10)]
    dropped = comp.apply_multiband_motion(np.eye(4), mb, interleaved, np.array([1000.0]), 1000.0, events)
    assert [d["slices"] for d in dropped] == groups
    assert [d["shot"] for d in dropped] == list(range(len(groups)))
    assert all(d["volume"] == 0 and d["attenuation"] == 1.0 for d in dropped)
    assert all(list(d) == ["volume", "shot", "slices", "attenuation"] for d in dropped)
    for new, old in zip(comp.images(), images):
        np.testing.assert_array_equal(new, old)


def test_slices_outside_every_group_are_never_touched(rng):
    dims, ngrad = (3, 2, 7), 2
    comp, images = make_compartments(rng, dims, ngrad)
    events = [zero_event(1, s, severity=1.0, jump_mm=(0.5, 0.0, 0.0)) for s in range(2)]
    comp.apply_multiband_motion(np.eye(4), 3, False, np.array([0.0, 1000.0]), 1000.0, events)
    for new, old in zip(comp.images(), images):
        new_v, old_v = volumes_of(new, dims, ngrad), volumes_of(old, dims, ngrad)
        np.testing.assert_array_equal(new_v[1, 6], old_v[1, 6])  # slice 6: in no group
        assert not new_v[1, :6].any()  # gain 1 - 1*1 = 0 everywhere else
        np.testing.assert_array_equal(new_v[0], old_v[0])


@pytest.mark.parametrize("b, b_max, severity", [(1000.0, 3000.0, 0.7), (2900.0, 3000.0, 0.99), (3000.0, 3000.0, 0.6)])
def test_attenuation_is_float32_gain_on_the_shot_slices(rng, b, b_max, severity):
    dims, ngrad = (2, 2, 4), 3
    comp, images = make_compartments(rng, dims, ngrad)
    bvals = np.array([0.0, b, 1000.0])
    dropped = comp.apply_multiband_motion(np.eye(4), 2, False, bvals, b_max, [zero_event(1, 1, severity)])
    gain = np.float32(1.0) - np.float32(b / b_max) * np.float32(severity)
    assert dropped == [{"volume": 1, "shot": 1, "slices": [1, 3], "attenuation": float(gain)}]
    for new, old in zip(comp.images(), images):
        ref = volumes_of(old.copy(), dims, ngrad)
        ref[1, [1, 3]] *= gain
        np.testing.assert_array_equal(volumes_of(new, dims, ngrad), ref)


def test_two_events_on_one_shot_multiply_twice(rng):
    dims, ngrad = (2, 2, 2), 1
    comp, images = make_compartments(rng, dims, ngrad, n_images=1)
    events = [zero_event(0, 0, 0.5), zero_event(0, 0, 0.5)]
    dropped = comp.apply_multiband_motion(np.eye(4), 1, False, np.array([1000.0]), 1000.0, events)
    assert [d["attenuation"] for d in dropped] == [0.5, 0.5]
    ref = volumes_of(images[0].copy(), dims, ngrad)
    ref[0, 0] *= np.float32(0.5)
    ref[0, 0] *= np.float32(0.5)
    np.testing.assert_array_equal(volumes_of(comp.images()[0], dims, ngrad), ref)


@pytest.mark.parametrize("b, b_max", [(40.0, 1000.0), (1000.0, 0.0), (1000.0, -5.0)])
def test_unweighted_volumes_keep_intensity_but_still_move(rng, b, b_max):
    dims, ngrad = (4, 2, 2), 1
    comp, images = make_compartments(rng, dims, ngrad, n_images=1)
    event = zero_event(0, 0, severity=0.9, jump_mm=(1.0, 0.0, 0.0))
    dropped = comp.apply_multiband_motion(np.eye(4), 1, False, np.array([b]), b_max, [event])
    assert dropped == [{"volume": 0, "shot": 0, "slices": [0], "attenuation": 1.0}]
    old = volumes_of(images[0], dims, ngrad)[0]
    new = volumes_of(comp.images()[0], dims, ngrad)[0]
    # A 1 mm shift along x on a 1 mm grid: voxel x shows what was at x - 1.
    np.testing.assert_array_equal(new[:, :, 1:], old[:, :, :-1])
    assert not new[:, :, 0].any()


def test_events_outside_the_schedule_or_volumes_are_ignored(rng):
    dims, ngrad = (2, 2, 4), 2
    comp, images = make_compartments(rng, dims, ngrad)
    events = [zero_event(0, 2, 1.0, jump_mm=(1.0, 0, 0)), zero_event(2, 0, 1.0, jump_mm=(1.0, 0, 0))]
    assert comp.apply_multiband_motion(np.eye(4), 2, False, np.full(2, 1000.0), 1000.0, events) == []
    for new, old in zip(comp.images(), images):
        np.testing.assert_array_equal(new, old)


@pytest.mark.parametrize("shot, moved_slices", [(0, [0, 1, 2, 3]), (1, [1, 3])])
def test_jumps_are_cumulative_over_later_shots(rng, shot, moved_slices):
    dims, ngrad = (5, 3, 4), 2
    comp, images = make_compartments(rng, dims, ngrad)
    event = zero_event(1, shot, jump_mm=(0.0, 1.0, 0.0))
    comp.apply_multiband_motion(np.eye(4), 2, False, np.full(2, 1000.0), 1000.0, [event])
    for new, old in zip(comp.images(), images):
        old_v, new_v = volumes_of(old, dims, ngrad), volumes_of(new, dims, ngrad)
        ref = old_v.copy()
        shifted = np.zeros_like(old_v[1])
        shifted[:, 1:, :] = old_v[1][:, :-1, :]
        ref[1, moved_slices] = shifted[moved_slices]
        np.testing.assert_array_equal(new_v, ref)


def test_poses_add_up_shot_by_shot(rng):
    dims, ngrad = (6, 2, 3), 1
    comp, images = make_compartments(rng, dims, ngrad, n_images=1)
    events = [zero_event(0, 1, jump_mm=(1.0, 0, 0)), zero_event(0, 2, jump_mm=(1.0, 0, 0))]
    comp.apply_multiband_motion(np.eye(4), 1, False, np.array([1000.0]), 1000.0, events)
    old = volumes_of(images[0], dims, ngrad)[0]
    new = volumes_of(comp.images()[0], dims, ngrad)[0]
    np.testing.assert_array_equal(new[0], old[0])
    np.testing.assert_array_equal(new[1, :, 1:], old[1, :, :-1])
    np.testing.assert_array_equal(new[2, :, 2:], old[2, :, :-2])


def test_rotation_jump_matches_reference_resampling(rng):
    dims, ngrad = (7, 6, 5), 2
    affine = np.array([[1.8, 0.1, 0.0, -5.0], [0.0, 2.0, 0.2, 3.0], [-0.1, 0.0, 2.5, 1.0], [0, 0, 0, 1]])
    comp, images = make_compartments(rng, dims, ngrad, n_images=1)
    event = zero_event(0, 0, jump_mm=(0.7, -0.4, 1.1), jump_deg=(5.0, -8.0, 12.0))
    comp.apply_multiband_motion(affine, 1, False, np.full(2, 1000.0), 1000.0, [event])
    old = volumes_of(images[0], dims, ngrad)
    new = volumes_of(comp.images()[0], dims, ngrad)
    ref = resample_reference(old[0].astype(np.float64), affine, [0.7, -0.4, 1.1, 5.0, -8.0, 12.0])
    # float32 output of a float64 interpolation: one float32 rounding of values below 1.5.
    np.testing.assert_allclose(new[0], ref, rtol=0, atol=2e-7)
    assert np.count_nonzero(ref) > ref.size // 3
    np.testing.assert_array_equal(new[1], old[1])


@pytest.mark.parametrize("shot, group, hit", [(0, [0, 2, 4, 6], 0), (1, [1, 3, 5, 7], 1)])
def test_slab_maps_full_stack_slices_to_local_ones(rng, shot, group, hit):
    dims, ngrad = (2, 2, 2), 1
    comp, images = make_compartments(rng, dims, ngrad, n_images=1)
    dropped = comp.apply_multiband_motion(
        np.eye(4), 4, False, np.array([1000.0]), 1000.0, [zero_event(0, shot, 1.0)], slice_z=[4, 5], nz_full=8
    )
    assert dropped == [{"volume": 0, "shot": shot, "slices": group, "attenuation": 0.0}]
    old = volumes_of(images[0], dims, ngrad)[0]
    new = volumes_of(comp.images()[0], dims, ngrad)[0]
    assert not new[hit].any()
    np.testing.assert_array_equal(new[1 - hit], old[1 - hit])


def test_nz_full_without_slice_z_drops_slices_beyond_the_local_stack(rng):
    dims, ngrad = (2, 2, 2), 1
    comp, images = make_compartments(rng, dims, ngrad, n_images=1)
    dropped = comp.apply_multiband_motion(
        np.eye(4), 1, False, np.array([1000.0]), 1000.0, [zero_event(0, 1, 1.0), zero_event(0, 3, 1.0)], nz_full=4
    )
    assert [d["slices"] for d in dropped] == [[1], [3]]
    new = volumes_of(comp.images()[0], dims, ngrad)[0]
    assert not new[1].any()
    np.testing.assert_array_equal(new[0], volumes_of(images[0], dims, ngrad)[0][0])


def test_events_may_be_any_iterable_with_defaults(rng):
    dims = (2, 2, 2)
    comp, images = make_compartments(rng, dims, 1, n_images=1)
    events = ({"jump_mm": (0.0, 0.0, 0.0), "jump_deg": (0.0, 0.0, 0.0), "shot": None} for _ in range(1))
    dropped = comp.apply_multiband_motion(np.eye(4), 1, False, np.array([500.0]), 1000.0, events)
    # volume 0, shot 0, severity 1.0 by default.
    assert dropped == [{"volume": 0, "shot": 0, "slices": [0], "attenuation": 0.5}]


@pytest.mark.parametrize(
    "change, exc, message",
    [
        (dict(affine=np.eye(4)[:3]), ValueError, "affine must be (4, 4), got [3, 4]"),
        (dict(events=[1]), ValueError, "events must be dicts"),
        (dict(events=[{"jump_deg": (0.0, 0.0, 0.0)}]), ValueError, "event: jump_mm missing"),
        (dict(events=[{"jump_mm": (0.0, 0.0, 0.0)}]), ValueError, "event: jump_deg missing"),
        (dict(events=[zero_event(-1, 0)]), ValueError, "volume: expected a non-negative integer"),
        (dict(events=[zero_event(0, 1.5)]), ValueError, "shot: expected a non-negative integer"),
        (dict(events=[zero_event(0, 0, "x")]), ValueError, "severity: expected a number"),
        (dict(events=[zero_event(0, 0, jump_mm=[0.0, 0.0, 0.0])]), TypeError, None),
        (dict(events=5), TypeError, None),
        (dict(bvals=np.full(2, 1000.0)), ValueError, "bvals: expected 3 values, got 2"),
        (dict(slice_z=[0]), ValueError, "slice_z: expected 2 values, got 1"),
        (dict(bvals=np.full(6, 1000.0)[::2]), ValueError, NOT_CONTIGUOUS),
        # Events are read before the lengths are checked.
        (dict(events=[1], bvals=np.full(2, 1000.0)), ValueError, "events must be dicts"),
    ],
)
def test_apply_multiband_motion_errors_leave_the_object_usable(rng, change, exc, message):
    dims, ngrad = (3, 2, 2), 3
    comp, images = make_compartments(rng, dims, ngrad)
    args = dict(affine=np.eye(4), mb=1, interleaved=False, bvals=np.full(3, 1000.0), b_max=1000.0,
                events=[zero_event(0, 0, 1.0, jump_mm=(1.0, 0, 0))])
    args.update(change)
    with pytest.raises(exc) as info:
        comp.apply_multiband_motion(**args)
    if message is not None:
        assert str(info.value) == message
    for new, old in zip(comp.images(), images):
        np.testing.assert_array_equal(new, old)
    # A rejected call neither poisons the mutex nor blocks the next call.
    assert len(comp.apply_multiband_motion(np.eye(4), 1, False, np.full(3, 1000.0), 1000.0, [zero_event(0, 0)])) == 1


def test_apply_multiband_motion_argument_types():
    comp = core.Compartments.from_images((1, 1, 1), 1, [np.ones(1, np.float32)], [80.0])
    with pytest.raises(TypeError) as info:
        comp.apply_multiband_motion(np.eye(4), 1, 1, np.ones(1), 1000.0, [])
    assert "while processing 'interleaved'" in info.value.__notes__
    with pytest.raises(OverflowError) as info:
        comp.apply_multiband_motion(np.eye(4), 1, False, np.ones(1), 1000.0, [], nz_full=-2)
    assert "while processing 'nz_full'" in info.value.__notes__


def test_text_signatures():
    import inspect

    assert str(inspect.signature(core.resolve_poses)) == (
        "(kind, n_units, seed=0, trans_mm=None, rot_deg=None, volumes=None, poses=None)"
    )
    assert str(inspect.signature(core.dropout_events)) == "(bvals, n_shots, rate, seed)"
    assert str(inspect.signature(core.Compartments.apply_multiband_motion)) == (
        "(self, /, affine, mb, interleaved, bvals, b_max, events, slice_z=None, nz_full=None)"
    )
    names = list(core.__all__)
    mine = ["signal_moving", "dropout_seed", "dropout_events", "resolve_poses", "poses_to_matrices", "fov_center"]
    assert [n for n in names if n in mine] == mine
