"""The moving-subject signal: per-volume re-rasterisation and resampling of the tissue."""
import math

import numpy as np
import pytest

import quorvel._core as core
from test_signal import NEONATAL, ref_fibre

E = math.exp
F32 = 1.2e-7  # one float32 rounding of a value at most 1
DIMS = (6, 3, 3)  # identity grid: the rasteriser puts a world point c in voxel floor(c)
ALONG_X = [[0.0, 1.5, 1.5], [6.0, 1.5, 1.5]]  # through the voxel row (y, z) = (1, 1)


def call(maps, positions, offsets, bvals, bvecs, poses, dims=DIMS):
    f64 = [np.asarray(a, np.float64) for a in (positions, bvals, bvecs, poses)]
    return core.signal_moving(dims, *maps, np.eye(4), f64[0].reshape(-1, 3), np.asarray(offsets, np.uint32), f64[1],
                              f64[2].reshape(-1, 3), {}, f64[3].reshape(-1, 6))


def tissue(wm=0.0, gm=0.0, csf=0.0, mask=1.0, dims=DIMS):
    return [np.full(dims[0] * dims[1] * dims[2], v, np.float32) for v in (wm, gm, csf, mask)]


def grid(image, ngrad, dims=DIMS):
    """[z, y, x, volume] view of a flat interleaved image."""
    return image.reshape(dims[2], dims[1], dims[0], ngrad)


def test_segments_average_by_length_and_uncrossed_voxels_fall_back():
    # voxel (2, 1, 1) holds one unit of the x streamline and 0.7 mm of an oblique one, voxel (3, 1, 1) the x one only;
    # intra + extra unweighted; elsewhere the isotropic fallback with d_iso = 0.0009, no |q| threshold
    x, oblique = np.array([1.0, 0, 0]), np.array([0.3, 0.6, 0.2])
    positions = ALONG_X + [[2.5, 1.2, 1.3], list(np.array([2.5, 1.2, 1.3]) + oblique)]
    bvals, bvecs = np.array([2000.0, 1000.0, 500.0, 0.0]), np.array([[1.0, 0, 0], [0.0, 0.6, 0.8], [0.6, 0.8, 0.0], [0, 0, 1]])
    comp = call(tissue(0.6, 0.3, 0.1), positions, [0, 2, 4], bvals, bvecs, np.zeros((4, 6)))
    assert (comp.dims, comp.ngrad, comp.n_compartments, comp.t2) == (DIMS, 4, 3, [180.0, 220.0, 2500.0])
    fibre, gm, csf = (grid(img, 4) for img in comp.images())
    s = sum(float(np.float32(v)) for v in (0.6, 0.3, 0.1))
    fw, fg, fc = (float(np.float32(v)) / s for v in (0.6, 0.3, 0.1))
    for k, q in enumerate(np.sqrt(bvals / 2000.0)[:, None] * bvecs):
        np.testing.assert_allclose([fibre[1, 1, 2, k], fibre[1, 1, 3, k]], [fw * ref_fibre(
            [x, oblique / 0.7], [1.0, 0.7], q, NEONATAL, 0), fw * ref_fibre([x], [1.0], q, NEONATAL, 0)], rtol=F32)
    # grey matter is one pool with d_gm (e^-1.2 at |q|^2 = 1), not the two pools of the static stage
    q2 = bvals / 2000.0
    np.testing.assert_allclose([fibre[0, 0, 2], gm[0, 0, 2], csf[0, 0, 2]],
                               [fw * np.exp(-0.9 * q2), fg * np.exp(-1.2 * q2), fc * np.exp(-3.0 * q2)], rtol=F32)
    f, _, _ = core.voxel_signal(np.array([1000.0]), np.array([[1.0, 0, 0]]), np.array([[1.0, 0, 0]]), np.ones(1), 1, 0, 0, {})
    assert grid(call(tissue(1.0), ALONG_X, [0, 2], [1000.0], [[1, 0, 0]], np.zeros((1, 6))).images()[0], 1)[1, 1, 2, 0] == np.float32(f[0])


def test_moved_mask_of_exactly_half_stays_zero():
    wm, gm, csf, mask = tissue(1.0)
    grid(mask, 1)[:, :, 3:] = 0.0
    # Half a voxel along x: the moved mask is 1 at x = 2 and exactly 0.5 at x = 3.
    fibre = grid(call((wm, gm, csf, mask), ALONG_X, [0, 2], [1000.0], [[1, 0, 0]], [[0.5, 0, 0, 0, 0, 0]]).images()[0], 1)
    assert fibre[1, 1, 2, 0] > 0.0 and fibre[1, 1, 3, 0] == 0.0 and fibre[0, 0, 3, 0] == 0.0


def test_one_voxel_translation_moves_that_volume_only(rng):
    maps = [rng.uniform(0.0, 1.0, 54).astype(np.float32) for _ in range(3)] + [np.ones(54, np.float32)]
    poses = np.zeros((3, 6))
    poses[1, 0] = 1.0
    comp = call(maps, [[1.0, 1.5, 1.5], [3.0, 1.2, 1.5]], [0, 2], [1000.0] * 3, [[0.6, 0.0, 0.8]] * 3, poses)
    for img in comp.images():
        v = grid(img, 3)
        np.testing.assert_array_equal(v[..., 2], v[..., 0])
        np.testing.assert_array_equal(v[:, :, 1:, 1], v[:, :, :-1, 0])
        assert not v[:, :, 0, 1].any()
    # the deposit moved too: volume 0 crosses x = 1, 2 and falls back at x = 3
    fallback = grid(maps[0] / (maps[0].astype(np.float64) + maps[1] + maps[2]) * E(-0.9), 1)[..., 0]
    fibre = grid(comp.images()[0], 3)
    assert fibre[1, 1, 2, 0] != np.float32(fallback[1, 1, 2]) and fibre[1, 1, 3, 0] == np.float32(fallback[1, 1, 3])


def test_rotation_turns_the_fibre_direction():
    dims = (5, 5, 3)
    # 90 degrees about z around the grid centre (2, 2, 1) lays this x-streamline along y at x = 1.5.
    comp = call(tissue(1.0, dims=dims), [[0.5, 2.5, 1.5], [4.5, 2.5, 1.5]], [0, 2], [1000.0] * 2, [[1, 0, 0]] * 2,
                [[0] * 6, [0, 0, 0, 0, 0, 90.0]], dims=dims)
    fibre = grid(comp.images()[0], 2, dims)
    np.testing.assert_allclose([fibre[1, 2, 2, 0], fibre[1, 2, 1, 1], fibre[1, 2, 2, 1]],
                               [E(-1.5), 0.55 + 0.45 * E(-0.6), E(-0.9)], rtol=F32)


@pytest.mark.parametrize("positions, offsets", [
    ([[2.5, 1.5, 1.5], [2.5, 1.5, 1.5]], [0, 2]),  # a zero-length segment
    ([[2.5, 1.5, 1.5]], [0, 1]),  # a single point
    ([[-5.0, 1.5, 1.5], [-1.0, 1.5, 1.5]], [0, 2]),  # outside the grid
    ([], [0]),  # no streamline at all
])
def test_degenerate_streamlines_deposit_nothing(positions, offsets):
    comp = call(tissue(1.0), positions, offsets, [1000.0], [[1, 0, 0]], np.zeros((1, 6)))
    np.testing.assert_allclose(comp.images()[0], E(-0.9), rtol=F32)
    empty = call(tissue(1.0), positions, offsets, np.zeros(0), np.zeros((0, 3)), np.zeros((0, 6)))
    assert empty.ngrad == 0 and [img.size for img in empty.images()] == [0, 0, 0]


def valid_args():
    return dict(
        dims=DIMS, **dict(zip(("wm", "gm", "csf", "mask"), tissue(1.0))), affine=np.eye(4),
        positions=np.array([[0.0, 1.5, 1.5], [2.0, 1.5, 1.5], [3.0, 1.5, 1.5], [6.0, 1.5, 1.5]]), offsets=np.array([0, 2, 4], np.uint32),
        bvals=np.full(4, 1000.0), bvecs=np.tile([1.0, 0, 0], (4, 1)), params={}, poses=np.zeros((4, 6)),
    )


ERRORS = [  # in the order the checks run
    (dict(wm=np.ones(53, np.float32)), "wm: expected 54 values, got 53"),
    (dict(affine=np.eye(4)[:3]), "affine must be (4, 4), got [3, 4]"),
    (dict(affine=np.diag([1.0, 0, 1, 1])), "grid affine is singular"),  # it would deposit nothing
    (dict(positions=np.zeros((4, 2))), "positions must have shape (n, 3), got [4, 2]"),
    (dict(offsets=np.array([0, 9, 2, 9, 4], np.uint32)[::2]), "The given array is not contiguous or is misaligned."),
    (dict(offsets=np.array([0, 3], np.uint32)), "offsets must be CSR: length n_streamlines+1, last entry == number of points"),
    (dict(offsets=np.array([0, 5, 4], np.uint32)), "offsets[1] = 5 is beyond the number of points (4)"),
    (dict(bvecs=np.zeros((3, 3))), "bvecs: expected 4 values, got 3"),
    (dict(params={"preset": "Adult"}), "preset: expected 'neonatal', 'adult' or 'infant', got \"Adult\""),
    (dict(poses=np.zeros((4, 5))), "poses must be (n, 6) [tx, ty, tz mm, rx, ry, rz deg], got [4, 5]"),
    (dict(poses=np.zeros((3, 6))), "poses: expected 4 values, got 3"),
]
MORE_ERRORS = [
    (dict(offsets=np.zeros(0, np.uint32)), ERRORS[5][1]),
    (dict(affine=np.eye(4) * [1, 1, 1, np.nan]), "grid affine is not finite"),
    (dict(offsets=np.array([2, 4], np.uint32)), "offsets must start at 0: offsets[0] = 2 leaves the first points out of every streamline"),
    (dict(offsets=np.array([0, 3, 1, 4], np.uint32)), "offsets must not decrease: offsets[1] = 3 > offsets[2] = 1"),
    (dict(dims=(2**32, 2**32, 1), **{k: np.zeros(0, np.float32) for k in ("wm", "gm", "csf", "mask")}),
     "signal images: [4294967296, 4294967296, 1] voxels x 4 volumes is too large"),
]


@pytest.mark.parametrize("k", range(len(ERRORS) + len(MORE_ERRORS)))
def test_signal_moving_errors(k):
    # Each fault of the ordered list is reported while every later one is present too.
    args = valid_args()
    for change, _ in ERRORS[k + 1 :] + [(ERRORS + MORE_ERRORS)[k]]:
        args.update(change)
    with pytest.raises(ValueError) as info:
        core.signal_moving(**args)
    assert str(info.value) == (ERRORS + MORE_ERRORS)[k][1]
