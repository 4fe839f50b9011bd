"""Reorientation to LAS, the BIDS phase-encoding direction and FSL bvecs."""
import itertools

import numpy as np
import pytest
from nibabel import orientations
from scipy.spatial.transform import Rotation

import quorvel._core as core
from conftest import raises


def affine_of(columns, scale=(1.0, 1.0, 1.0), translation=(0.0, 0.0, 0.0)):
    """Voxel axis c runs along the signed world axis columns[c] (e.g. "+y"), scaled by scale[c]."""
    a = np.eye(4)
    a[:3, :3] = [[(c[1] == w) * (1.0 if c[0] == "+" else -1.0) * k for c, k in zip(columns, scale)] for w in "xyz"]
    a[:3, 3] = translation
    return a


RAS = core.reorient_to_las(np.eye(4), (4, 5, 6))
YZX = core.reorient_to_las(affine_of(("+y", "+z", "+x")), (4, 5, 6))
GOOD = {"src": (0, 1, 2), "flip": (True, False, False), "in_dims": (2, 3, 4), "out_dims": (2, 3, 4)}


@pytest.mark.parametrize("columns", [tuple(s + a for s, a in zip(signs, axes))
                                     for axes in itertools.permutations("xyz")
                                     for signs in itertools.product("+-", repeat=3)])
def test_oblique_grids_against_nibabel(rng, columns):
    # every signed axis order, tilted by up to about 15 degrees
    dims = (3, 4, 5)
    affine = affine_of(columns, scale=(1.5, 2.0, 2.5), translation=(-10.0, 4.0, 7.0))
    affine[:3] = Rotation.from_rotvec(rng.uniform(-0.15, 0.15, 3)).as_matrix() @ affine[:3]
    ornt = orientations.ornt_transform(orientations.io_orientation(affine), orientations.axcodes2ornt("LAS"))
    r = core.reorient_to_las(affine, dims)
    data = rng.normal(size=(5, 4, 3, 2)).astype(np.float32)  # (z, y, x, volume): the interleaved layout
    want = orientations.apply_orientation(data.transpose(2, 1, 0, 3), ornt)
    assert (r["in_dims"], r["out_dims"]) == (dims, want.shape[:3])
    np.testing.assert_array_equal(core.apply_reorient(data.ravel(), 2, r), want.transpose(2, 1, 0, 3).ravel())
    np.testing.assert_allclose(core.reorient_affine(affine, r).reshape(4, 4), affine @ orientations.inv_ornt_aff(ornt, dims),
                               rtol=0, atol=1e-12)
    # FSL bvecs: projections on the unit voxel axes, x mirrored for a positive determinant. Three
    # products and a division in another order than NumPy's: a few ulps of |b| < 6.
    b, a = rng.normal(size=(6, 3)), affine[:3, :3]
    np.testing.assert_allclose(core.fsl_bvecs(b, affine), (b @ (a / np.linalg.norm(a, axis=0)) * [-np.sign(np.linalg.det(a)), 1, 1]).ravel(),
                               rtol=0, atol=4e-15)


def test_identity_and_accepted_dictionaries(rng):
    r = core.reorient_identity((3, 2, 2))
    assert list(r.items()) == [("src", (0, 1, 2)), ("flip", (False,) * 3), ("in_dims", (3, 2, 2)), ("out_dims", (3, 2, 2))]
    data = rng.normal(size=12 * 7).astype(np.float32)
    out = core.apply_reorient(data, 7, r)
    np.testing.assert_array_equal(out, data)
    assert not np.shares_memory(out, data)
    a = np.arange(16.0).reshape(4, 4)
    np.testing.assert_array_equal(core.reorient_affine(a, r), np.r_[a[:3].ravel(), 0, 0, 0, 1])
    # NumPy booleans count as bools.
    r = GOOD | {"flip": (np.bool_(True), np.False_, False)}
    expected = np.arange(24, dtype=np.float32).reshape(4, 3, 2)[:, :, ::-1].ravel()
    np.testing.assert_array_equal(core.apply_reorient(np.arange(24, dtype=np.float32), 1, r), expected)


@pytest.mark.parametrize("record, axis, sign, expected", [
    (RAS, 0, 1, "i-"), (RAS, 0, -1, "i"), (RAS, 1, -1, "j-"), (RAS, 1, 0, "j"), (RAS, 2, -3, "k-"),
    (RAS, 0, -2**31, "i"), (RAS, 0, 2**31 - 1, "i-"), (YZX, 2, 1, "i-"), (YZX, 0, 1, "j"),
])
def test_out_ped(record, axis, sign, expected):
    assert core.out_ped(record, axis, sign) == expected


def test_fsl_bvecs_mirror_x_by_negation():
    out = core.fsl_bvecs(np.eye(3), np.eye(4))  # a zero component becomes -0.0
    assert out.tolist() == [-1, 0, 0, 0, 1, 0, 0, 0, 1] and np.signbit(out[3])


BAD = [
    ({k: v for k, v in GOOD.items() if k != "in_dims"}, "reorient: in_dims missing"),
    ({"src": (5, 5, 5)}, "reorient: flip missing"),  # keys in order, presence and type only
    (GOOD | {"src": (0, 1, 3)}, "reorient: src must be a permutation of (0, 1, 2), got [0, 1, 3]"),
    (GOOD | {"src": (1, 0, 2)}, "reorient: out_dims [2, 3, 4] do not match in_dims [2, 3, 4] permuted by src [1, 0, 2]"),
]
TIE = np.array([[1, 1, 0, 0], [0, -1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1.0]])  # column 1: the tie goes to x


@pytest.mark.parametrize("call, message", [
    *[(lambda r=r: core.out_ped(r, 0, 1), m) for r, m in BAD],
    *[(lambda r=r: core.reorient_affine(np.eye(4), r), m) for r, m in BAD[2:]],
    (lambda: core.apply_reorient(np.zeros(24, np.float32), 1, BAD[2][0]), BAD[2][1]),
    (lambda: core.reorient_affine(np.eye(3), BAD[0][0]), BAD[0][1]),  # the record comes first
    (lambda: core.apply_reorient(np.zeros(119, np.float32), 1, RAS), "image: expected 120 values, got 119"),
    (lambda: core.apply_reorient(np.zeros(120, np.float32), 2, RAS), "image: expected 240 values, got 120"),
    (lambda: core.apply_reorient(np.zeros(0, np.float32), 2**62, RAS),
     "image: in_dims [4, 5, 6] with 4611686018427387904 volumes hold more values than can be addressed"),
    (lambda: core.out_ped(RAS, 3, 1), "pe axis not in permutation"),
    (lambda: core.fsl_bvecs(np.zeros((2, 2)), np.eye(3)), "affine must be (4, 4), got [3, 3]"),
    (lambda: core.reorient_to_las(TIE, (2, 2, 2)), "affine 3x3 is not a permutation of the world axes"),
    (lambda: core.reorient_to_las(np.diag([1.0, 1, 0, 1]), (2, 2, 2)), "affine 3x3 is not a permutation of the world axes"),
])
def test_value_errors(call, message):
    raises(ValueError, message, call)


@pytest.mark.parametrize("key, value, error", [("src", [0, 1, 2], TypeError), ("src", (0, -1, 2), OverflowError),
                                               ("flip", (1, 0, 0), TypeError), ("flip", (True, False), TypeError),
                                               ("in_dims", None, TypeError)])
def test_conversion_errors(key, value, error):
    with pytest.raises(error):
        core.out_ped(GOOD | {key: value}, 0, 1)
