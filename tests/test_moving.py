"""The moving-subject signal: per-volume re-rasterisation and resampling of the tissue."""
import math

import numpy as np
import pytest

import quorvel._core as core
from conftest import run_isolated

NEONATAL = {"preset": "neonatal"}
# One float32 rounding of a float64 value at most 1 (plus the float64 error of the sum/divide).
F32 = 1.2e-7


def tissue(dims, wm=0.0, gm=0.0, csf=0.0, mask=1.0):
    n = dims[0] * dims[1] * dims[2]
    return [np.full(n, v, np.float32) for v in (wm, gm, csf, mask)]


def flat_index(dims, x, y, z):
    return x + dims[0] * (y + dims[1] * z)


def call(dims, maps, positions, offsets, bvals, bvecs, poses, affine=None, params=NEONATAL):
    wm, gm, csf, mask = maps
    return core.signal_moving(
        dims, wm, gm, csf, mask, np.eye(4) if affine is None else affine,
        np.asarray(positions, np.float64).reshape(-1, 3), np.asarray(offsets, np.uint32),
        np.asarray(bvals, np.float64), np.asarray(bvecs, np.float64).reshape(-1, 3), params,
        np.asarray(poses, np.float64).reshape(-1, 6),
    )


def voxel_series(comp, dims, x, y, z):
    i = flat_index(dims, x, y, z)
    return [img[i * comp.ngrad:(i + 1) * comp.ngrad] for img in comp.images()]


# A streamline along x through the voxel row (y, z) = (1, 1) of a (6, 3, 3) identity grid.
DIMS = (6, 3, 3)
ALONG_X = [[0.0, 1.5, 1.5], [6.0, 1.5, 1.5]]


def test_straight_streamline_along_the_gradient():
    maps = tissue(DIMS, wm=1.0)
    comp = call(DIMS, maps, ALONG_X, [0, 2], [1000.0, 1000.0], [[1, 0, 0], [0, 1, 0]], np.zeros((2, 6)))
    fibre, gm, csf = voxel_series(comp, DIMS, 2, 1, 1)
    # Along x: 0.55 e^-1.5 + 0.45 e^-1.5; across: 0.55 + 0.45 e^-0.6.
    np.testing.assert_allclose(fibre, [math.exp(-1.5), 0.55 + 0.45 * math.exp(-0.6)], rtol=F32)
    assert not gm.any() and not csf.any()
    assert comp.dims == DIMS and comp.ngrad == 2 and comp.n_compartments == 3
    np.testing.assert_array_equal(comp.t2, [180.0, 220.0, 2500.0])


def test_uncrossed_voxel_takes_the_isotropic_fallback():
    maps = tissue(DIMS, wm=0.6, gm=0.3, csf=0.1)
    comp = call(DIMS, maps, ALONG_X, [0, 2], [1000.0, 500.0, 0.0], [[0, 0, 1]] * 3, np.zeros((3, 6)))
    s = sum(float(np.float32(v)) for v in (0.6, 0.3, 0.1))
    fw, fg, fc = (float(np.float32(v)) / s for v in (0.6, 0.3, 0.1))
    fibre, gm, csf = voxel_series(comp, DIMS, 2, 0, 0)
    # d_iso = (0.0015 + 0.0006 + 0.0006) / 3; the fallback has no |q|^2 threshold.
    np.testing.assert_allclose(fibre, [fw * math.exp(-0.9), fw * math.exp(-0.45), fw], rtol=F32)
    # Grey matter is one pool with d_gm (not the two-pool model of the static signal).
    np.testing.assert_allclose(gm, [fg * math.exp(-1.2), fg * math.exp(-0.6), fg], rtol=F32)
    np.testing.assert_allclose(csf, [fc * math.exp(-3.0), fc * math.exp(-1.5), fc], rtol=F32)
    crossed = voxel_series(comp, DIMS, 2, 1, 1)[0]
    # Unweighted volume with fibre support: wm' / s * (intra + extra).
    np.testing.assert_allclose(crossed[2], fw, rtol=F32)


def test_pure_grey_matter_is_single_pool():
    maps = tissue(DIMS, gm=1.0)
    comp = call(DIMS, maps, ALONG_X, [0, 2], [1000.0], [[1, 0, 0]], np.zeros((1, 6)))
    fibre, gm, csf = voxel_series(comp, DIMS, 3, 1, 1)
    assert gm[0] == np.float32(math.exp(-1.2))
    assert fibre[0] == 0.0 and csf[0] == 0.0


@pytest.mark.parametrize("mask_value, inside", [(0.5, False), (0.5000001, True), (1.0, True)])
def test_mask_threshold(mask_value, inside):
    maps = tissue(DIMS, wm=1.0, mask=mask_value)
    comp = call(DIMS, maps, ALONG_X, [0, 2], [1000.0], [[1, 0, 0]], np.zeros((1, 6)))
    assert bool(comp.images()[0].any()) == inside


def test_moved_mask_of_exactly_half_stays_zero():
    wm, gm, csf, mask = tissue(DIMS, wm=1.0)
    mask.reshape(3, 3, 6)[:, :, 3:] = 0.0  # inside for x <= 2
    # Half a voxel along x: the moved mask is 1 at x = 2 and exactly 0.5 at x = 3.
    comp = call(DIMS, (wm, gm, csf, mask), ALONG_X, [0, 2], [1000.0], [[1, 0, 0]], [[0.5, 0, 0, 0, 0, 0]])
    fibre = comp.images()[0]
    assert fibre[flat_index(DIMS, 2, 1, 1)] > 0.0
    assert fibre[flat_index(DIMS, 3, 1, 1)] == 0.0
    assert fibre[flat_index(DIMS, 3, 0, 0)] == 0.0


def test_one_voxel_translation_moves_that_volume_only(rng):
    n = DIMS[0] * DIMS[1] * DIMS[2]
    wm = rng.uniform(0.0, 1.0, n).astype(np.float32)
    gm = rng.uniform(0.0, 1.0, n).astype(np.float32)
    csf = rng.uniform(0.0, 1.0, n).astype(np.float32)
    mask = np.ones(n, np.float32)
    streamline = [[1.0, 1.5, 1.5], [3.0, 1.2, 1.5]]
    poses = np.zeros((3, 6))
    poses[1, 0] = 1.0
    g = [0.6, 0.0, 0.8]
    comp = call(DIMS, (wm, gm, csf, mask), streamline, [0, 2], [1000.0] * 3, [g] * 3, poses)
    for img in comp.images():
        v = img.reshape(DIMS[2], DIMS[1], DIMS[0], 3)
        np.testing.assert_array_equal(v[..., 2], v[..., 0])
        np.testing.assert_array_equal(v[:, :, 1:, 1], v[:, :, :-1, 0])
        assert not v[:, :, 0, 1].any()
    # The fibre deposit moved too: the crossed voxels of volume 0 are x = 1, 2.
    fib = comp.images()[0].reshape(DIMS[2], DIMS[1], DIMS[0], 3)
    s = wm.astype(np.float64) + gm + csf
    fallback = (wm / s * math.exp(-0.9)).reshape(DIMS[2], DIMS[1], DIMS[0])
    assert fib[1, 1, 2, 0] != np.float32(fallback[1, 1, 2])
    assert fib[1, 1, 3, 0] == np.float32(fallback[1, 1, 3])


def test_rotation_turns_the_fibre_direction():
    dims = (5, 5, 3)
    # 90 degrees about z around the grid centre (2, 2, 1) maps this x-streamline onto x = 1.5.
    comp = call(dims, tissue(dims, wm=1.0), [[0.5, 2.5, 1.5], [4.5, 2.5, 1.5]], [0, 2], [1000.0, 1000.0],
                [[1, 0, 0], [1, 0, 0]], [[0] * 6, [0, 0, 0, 0, 0, 90.0]])
    fibre = comp.images()[0].reshape(3, 5, 5, 2)
    np.testing.assert_allclose(fibre[1, 2, 2, 0], math.exp(-1.5), rtol=F32)
    np.testing.assert_allclose(fibre[1, 2, 1, 1], 0.55 + 0.45 * math.exp(-0.6), rtol=F32)
    # Voxel (2, 2, 1) is crossed in volume 0 only; volume 1 has the isotropic fallback there.
    np.testing.assert_allclose(fibre[1, 2, 2, 1], math.exp(-0.9), rtol=F32)


def test_voxel_size_scales_deposits_not_ratios():
    affine = np.diag([2.0, 2.0, 2.0, 1.0])
    comp = call(DIMS, tissue(DIMS, wm=1.0), [[0.0, 3.0, 3.0], [12.0, 3.0, 3.0]], [0, 2], [1000.0], [[1, 0, 0]],
                np.zeros((1, 6)), affine=affine)
    np.testing.assert_allclose(voxel_series(comp, DIMS, 4, 1, 1)[0], [math.exp(-1.5)], rtol=F32)


@pytest.mark.parametrize(
    "positions, offsets",
    [
        ([[2.5, 1.5, 1.5], [2.5, 1.5, 1.5]], [0, 2]),  # a zero-length segment
        ([[2.5, 1.5, 1.5]], [0, 1]),  # a single point
        ([[2.5, 1.5, 1.5], [0.5, 0.5, 0.5], [0.5, 0.5, 0.5]], [0, 1, 3]),  # both
        ([], [0]),  # no streamline at all
    ],
)
def test_degenerate_streamlines_deposit_nothing(positions, offsets):
    comp = call(DIMS, tissue(DIMS, wm=1.0), positions, offsets, [1000.0], [[1, 0, 0]], np.zeros((1, 6)))
    np.testing.assert_allclose(comp.images()[0], math.exp(-0.9), rtol=F32)


def test_empty_scheme_gives_empty_images():
    comp = call(DIMS, tissue(DIMS, wm=1.0), ALONG_X, [0, 2], np.zeros(0), np.zeros((0, 3)), np.zeros((0, 6)))
    assert comp.ngrad == 0 and comp.dims == DIMS
    assert [img.size for img in comp.images()] == [0, 0, 0]


def test_outside_points_deposit_nothing_and_streamlines_add_up():
    maps = tissue(DIMS, wm=1.0)
    positions = [[-5.0, 1.5, 1.5], [-1.0, 1.5, 1.5], [2.0, 0.5, 0.5], [2.0, 0.5, 2.5]]
    comp = call(DIMS, maps, positions, [0, 2, 4], [1000.0], [[0, 0, 1]], np.zeros((1, 6)))
    fibre = comp.images()[0].reshape(3, 3, 6)
    np.testing.assert_allclose(fibre[:, 0, 2], math.exp(-1.5), rtol=F32)
    np.testing.assert_allclose(fibre[:, 1, 0], math.exp(-0.9), rtol=F32)


# ---------------------------------------------------------------- errors


def valid_args():
    maps = tissue(DIMS, wm=1.0)
    return dict(
        dims=DIMS, wm=maps[0], gm=maps[1], csf=maps[2], mask=maps[3], affine=np.eye(4),
        positions=np.array([[0.0, 1.5, 1.5], [2.0, 1.5, 1.5], [3.0, 1.5, 1.5], [6.0, 1.5, 1.5]]),
        offsets=np.array([0, 2, 4], np.uint32), bvals=np.full(4, 1000.0), bvecs=np.tile([1.0, 0, 0], (4, 1)),
        params={}, poses=np.zeros((4, 6)),
    )


CSR = "offsets must be CSR: length n_streamlines+1, last entry == number of points"
ERRORS = [
    (dict(wm=np.ones(53, np.float32)), "wm: expected 54 values, got 53"),
    (dict(mask=np.ones(55, np.float32)), "mask: expected 54 values, got 55"),
    (dict(affine=np.eye(4)[:3]), "affine must be (4, 4), got [3, 4]"),
    (dict(positions=np.zeros((4, 2))), "positions must have shape (n, 3), got [4, 2]"),
    (dict(offsets=np.array([0, 9, 2, 9, 4], np.uint32)[::2]), "The given array is not contiguous or is misaligned."),
    (dict(offsets=np.array([0, 3], np.uint32)), CSR),
    (dict(offsets=np.zeros(0, np.uint32)), CSR),
    (dict(offsets=np.array([0, 5, 4], np.uint32)), "offsets[1] = 5 is beyond the number of points (4)"),
    (dict(offsets=np.array([0, 3, 1, 4], np.uint32)), "offsets must not decrease: offsets[1] = 3 > offsets[2] = 1"),
    (dict(bvecs=np.zeros((3, 3))), "bvecs: expected 4 values, got 3"),
    (dict(params={"preset": "Adult"}), "preset: expected 'neonatal', 'adult' or 'infant', got \"Adult\""),
    (dict(poses=np.zeros((4, 5))), "poses must be (n, 6) [tx, ty, tz mm, rx, ry, rz deg], got [4, 5]"),
    (dict(poses=np.zeros((3, 6))), "poses: expected 4 values, got 3"),
    (dict(dims=(2**32, 2**32, 1), wm=np.zeros(0, np.float32), gm=np.zeros(0, np.float32),
          csf=np.zeros(0, np.float32), mask=np.zeros(0, np.float32)),
     "signal images: [4294967296, 4294967296, 1] voxels x 4 volumes is too large"),
]


@pytest.mark.parametrize("change, message", ERRORS)
def test_signal_moving_value_errors(change, message):
    args = valid_args()
    args.update(change)
    with pytest.raises(ValueError) as info:
        core.signal_moving(**args)
    assert str(info.value) == message


def test_signal_moving_checks_in_order():
    # Every fault at once: each fix reveals the next message, in the documented order.
    ordered = [ERRORS[i] for i in (0, 2, 3, 5, 9, 10, 11)]
    for k, (_, message) in enumerate(ordered):
        args = valid_args()
        for change, _ in ordered[k:]:
            args.update(change)
        with pytest.raises(ValueError) as info:
            core.signal_moving(**args)
        assert str(info.value) == message


@pytest.mark.parametrize(
    "name, value, exc",
    [
        ("wm", np.ones(54), TypeError),
        ("dims", [6, 3, 3], TypeError),
        ("offsets", np.array([0, 2, 4], np.int64), TypeError),
        ("params", [], TypeError),
        ("poses", np.zeros(24), TypeError),
    ],
)
def test_signal_moving_type_errors_name_the_argument(name, value, exc):
    args = valid_args()
    args[name] = value
    with pytest.raises(exc) as info:
        core.signal_moving(**args)
    assert f"while processing '{name}'" in info.value.__notes__


# ---------------------------------------------------------------- threads

DETERMINISM = """
import hashlib, numpy as np, quorvel._core as core
assert core.set_threads({threads})
rng = np.random.default_rng(42)
dims = (12, 10, 8)
n = 12 * 10 * 8
maps = [rng.uniform(0, 1, n).astype(np.float32) for _ in range(3)] + [rng.uniform(0, 1, n).astype(np.float32)]
lengths = rng.integers(1, 12, 40)
offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.uint32)
positions = rng.uniform(-2, 14, (int(offsets[-1]), 3)) * [1.0, 1.0, 0.8]
bvals = rng.choice([0.0, 1000.0, 2000.0], 17)
bvecs = rng.normal(size=(17, 3))
poses = np.column_stack([rng.uniform(-2, 2, (17, 3)), rng.uniform(-5, 5, (17, 3))])
affine = np.array([[1.1, 0.1, 0, -6], [0, 0.9, 0.1, -4], [0.05, 0, 1.2, -3], [0, 0, 0, 1]])
comp = core.signal_moving(dims, *maps, affine, positions, offsets, bvals, bvecs, {{}}, poses)
h = hashlib.sha256()
for img in comp.images():
    h.update(img.tobytes())
print(h.hexdigest(), core.current_threads())
"""


def test_signal_moving_is_identical_for_any_thread_count():
    one = run_isolated(DETERMINISM.format(threads=1)).split()
    many = run_isolated(DETERMINISM.format(threads=0), env={"RAYON_NUM_THREADS": "8"}).split()
    assert one[1] == "1" and many[1] == "8"
    assert one[0] == many[0]
