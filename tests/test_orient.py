import itertools
import re

import numpy as np
import pytest

import quorvel._core as core


def affine_of(columns, scale=(1.0, 1.0, 1.0), translation=(0.0, 0.0, 0.0)):
    """Voxel->world affine whose voxel axis c runs along the signed world axis columns[c]
    (e.g. "+y"), scaled by scale[c]."""
    a = np.eye(4)
    a[:3, :3] = 0
    for c, axis in enumerate(columns):
        a["xyz".index(axis[1]), c] = (1.0 if axis[0] == "+" else -1.0) * scale[c]
    a[:3, 3] = translation
    return a


def world(affine, ijk):
    return affine[:3, :3] @ np.asarray(ijk, float) + affine[:3, 3]


def las_record(dims):
    return core.reorient_to_las(np.eye(4), dims)


# ---- reorient_to_las ----

@pytest.mark.parametrize("columns, src, flip", [
    (("+x", "+y", "+z"), (0, 1, 2), (True, False, False)),      # RAS storage
    (("-x", "-y", "+z"), (0, 1, 2), (False, True, False)),      # LPS storage
    (("-x", "+y", "+z"), (0, 1, 2), (False, False, False)),     # already LAS
    (("+y", "+z", "+x"), (2, 0, 1), (True, False, False)),      # voxel axes along world (y, z, x)
    (("-z", "+x", "-y"), (1, 2, 0), (True, True, True)),
])
def test_to_las(columns, src, flip):
    dims = (4, 5, 6)
    r = core.reorient_to_las(affine_of(columns), dims)
    assert r == {"src": src, "flip": flip, "in_dims": dims, "out_dims": tuple(dims[s] for s in src)}
    assert list(r) == ["src", "flip", "in_dims", "out_dims"]


def test_dominant_axis_decides_and_ties_go_to_lower_world_axis():
    a = np.eye(4)
    a[:3, :3] = [[0.9, 0.3, 0.0], [0.3, -1.0, 0.2], [0.1, 0.0, 1.0]]  # oblique, x / -y / z dominant
    assert core.reorient_to_las(a, (2, 3, 4))["flip"] == (True, True, False)
    a[:3, :3] = [[1.0, 1.0, 0.0], [0.0, -1.0, 0.0], [0.0, 0.0, 1.0]]  # column 1 ties x and y: x wins
    with pytest.raises(ValueError, match="affine 3x3 is not a permutation of the world axes"):
        core.reorient_to_las(a, (2, 3, 4))


@pytest.mark.parametrize("matrix", [np.diag([1.0, 1.0, 0.0]), [[1, 2, 0], [0, 0, 0], [0, 0, 1]], np.zeros((3, 3))])
def test_to_las_refuses_non_permutation_affines(matrix):
    a = np.eye(4)
    a[:3, :3] = matrix
    with pytest.raises(ValueError, match="affine 3x3 is not a permutation of the world axes"):
        core.reorient_to_las(a, (2, 2, 2))


# ---- apply_reorient and reorient_affine ----

def test_ras_identity_reverses_x_and_moves_origin():
    dims = (4, 5, 6)
    r = las_record(dims)
    data = np.arange(120, dtype=np.float32)
    out = core.apply_reorient(data, 1, r)
    expected = data.reshape(6, 5, 4)[:, :, ::-1].ravel()
    np.testing.assert_array_equal(out, expected)
    a = core.reorient_affine(np.eye(4), r).reshape(4, 4)
    assert a[0, 0] == -1 and a[0, 3] == 3
    np.testing.assert_array_equal(a[1:, :], np.eye(4)[1:, :])


SIGNED_PERMUTATIONS = [tuple(s + a for s, a in zip(signs, axes))
                       for axes in itertools.permutations("xyz")
                       for signs in itertools.product("+-", repeat=3)]


@pytest.mark.parametrize("columns", SIGNED_PERMUTATIONS)
def test_every_voxel_keeps_its_world_position(columns):
    dims, ngrad = (3, 4, 5), 2
    affine = affine_of(columns, scale=(1.5, 2.0, 2.5), translation=(-10.0, 4.0, 7.0))
    r = core.reorient_to_las(affine, dims)
    new = core.reorient_affine(affine, r).reshape(4, 4)
    # LAS: output axes along -x, +y, +z.
    assert np.all(np.sign(np.diag(new[:3, :3])) == [-1, 1, 1])
    assert np.count_nonzero(new[:3, :3]) == 3
    np.testing.assert_array_equal(new[3], [0, 0, 0, 1])
    # Each value names its input voxel (F-order index) and its volume.
    n = int(np.prod(dims))
    data = np.stack([np.arange(n), np.arange(n) + 0.5], axis=1).astype(np.float32).ravel()
    out = core.apply_reorient(data, ngrad, r).reshape(-1, ngrad)
    od = r["out_dims"]
    for z, y, x in itertools.product(range(od[2]), range(od[1]), range(od[0])):
        value = out[(z * od[1] + y) * od[0] + x]
        assert value[1] == value[0] + 0.5
        v = int(value[0])
        i, j, k = v % dims[0], (v // dims[0]) % dims[1], v // (dims[0] * dims[1])
        np.testing.assert_allclose(world(new, (x, y, z)), world(affine, (i, j, k)), atol=1e-12)


def test_identity_returns_an_equal_copy():
    dims = (3, 2, 2)
    r = core.reorient_identity(dims)
    assert r == {"src": (0, 1, 2), "flip": (False, False, False), "in_dims": dims, "out_dims": dims}
    data = np.random.default_rng(42).normal(size=12 * 7).astype(np.float32)
    out = core.apply_reorient(data, 7, r)
    np.testing.assert_array_equal(out, data)
    out[0] = 99
    assert data[0] != 99
    a = np.arange(16.0).reshape(4, 4)
    expected = a.copy()
    expected[3] = [0, 0, 0, 1]
    np.testing.assert_array_equal(core.reorient_affine(a, r), expected.ravel())


def test_zero_volumes_and_empty_grids():
    assert core.apply_reorient(np.zeros(0, np.float32), 0, las_record((2, 2, 2))).shape == (0,)
    assert core.apply_reorient(np.zeros(0, np.float32), 3, las_record((0, 2, 2))).shape == (0,)


@pytest.mark.parametrize("data, ngrad, message", [
    (np.zeros(119, np.float32), 1, "image: expected 120 values, got 119"),
    (np.zeros(120, np.float32), 2, "image: expected 240 values, got 120"),
    (np.zeros(240, np.float32)[::2], 1, "The given array is not contiguous or is misaligned."),
])
def test_apply_reorient_value_errors(data, ngrad, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        core.apply_reorient(data, ngrad, las_record((4, 5, 6)))


def test_apply_reorient_refuses_overflowing_sizes():
    r = {"src": (0, 1, 2), "flip": (True, False, False), "in_dims": (2**32, 2**32, 1), "out_dims": (2**32, 2**32, 1)}
    with pytest.raises(ValueError, match=re.escape("image: in_dims [4294967296, 4294967296, 1] with 1 volumes hold "
                                                   "more values than can be addressed")):
        core.apply_reorient(np.zeros(0, np.float32), 1, r)


# ---- out_ped ----

@pytest.mark.parametrize("axis, sign, expected", [
    (0, 1, "i-"), (0, -1, "i"), (1, -1, "j-"), (1, 0, "j"), (1, 5, "j"), (2, -3, "k-"), (0, -2**31, "i"),
])
def test_out_ped_ras(axis, sign, expected):
    assert core.out_ped(las_record((4, 5, 6)), axis, sign) == expected


def test_out_ped_follows_the_permutation():
    r = core.reorient_to_las(affine_of(("+y", "+z", "+x")), (4, 5, 6))  # src (2, 0, 1), flip x
    assert [core.out_ped(r, axis, 1) for axis in range(3)] == ["j", "k", "i-"]


def test_out_ped_refuses_an_axis_not_in_the_permutation():
    with pytest.raises(ValueError, match="pe axis not in permutation"):
        core.out_ped(las_record((4, 5, 6)), 3, 1)
    with pytest.raises(OverflowError) as e:
        core.out_ped(las_record((4, 5, 6)), 0, 2**31)
    assert "while processing 'in_pe_sign'" in e.value.__notes__


# ---- fsl_bvecs ----

def test_fsl_bvecs_signs():
    b = np.array([[1.0, 0, 0], [0, 1.0, 0], [0, 0, 1.0]])
    out = core.fsl_bvecs(b, np.eye(4)).reshape(3, 3)
    np.testing.assert_array_equal(out, [[-1, 0, 0], [0, 1, 0], [0, 0, 1]])
    assert np.signbit(out[1, 0]) and not np.signbit(out[0, 1])
    neg = core.fsl_bvecs(b[:1], np.diag([-1.0, 1, 1, 1]))
    np.testing.assert_array_equal(neg, [-1, 0, 0])


def test_fsl_bvecs_projects_on_unit_voxel_axes(rng):
    columns = ("-z", "+x", "-y")
    affine = affine_of(columns, scale=(2.0, 3.0, 0.5), translation=(5, 6, 7))
    b = rng.normal(size=(6, 3))
    unit = affine[:3, :3] / np.linalg.norm(affine[:3, :3], axis=0)
    expected = b @ unit
    if np.linalg.det(affine[:3, :3]) > 0:
        expected[:, 0] *= -1
    out = core.fsl_bvecs(b, affine)
    assert out.shape == (18,) and out.dtype == np.float64
    np.testing.assert_allclose(out, expected.ravel(), rtol=0, atol=4e-16)
    assert core.fsl_bvecs(np.zeros((0, 3)), affine).shape == (0,)


def test_fsl_bvecs_checks_affine_first():
    with pytest.raises(ValueError, match=re.escape("affine must be (4, 4), got [3, 3]")):
        core.fsl_bvecs(np.zeros((2, 2)), np.eye(3))
    with pytest.raises(ValueError, match=re.escape("bvecs must have shape (n, 3), got [2, 2]")):
        core.fsl_bvecs(np.zeros((2, 2)), np.eye(4))


# ---- the reorientation dictionary ----

def good():
    return {"src": (0, 1, 2), "flip": (True, False, False), "in_dims": (2, 3, 4), "out_dims": (2, 3, 4)}


@pytest.mark.parametrize("key", ["src", "flip", "in_dims", "out_dims"])
def test_missing_key(key):
    r = good()
    del r[key]
    with pytest.raises(ValueError, match=f"reorient: {key} missing"):
        core.out_ped(r, 0, 1)


def test_keys_are_read_in_order_and_only_checked_for_type():
    with pytest.raises(ValueError, match="reorient: flip missing"):
        core.reorient_affine(np.eye(4), {"src": (5, 5, 5)})
    # Missing keys come before the affine shape.
    with pytest.raises(ValueError, match="reorient: src missing"):
        core.reorient_affine(np.eye(3), {})


@pytest.mark.parametrize("key, value, error", [
    ("src", [0, 1, 2], TypeError),
    ("src", (0, 1), TypeError),
    ("src", (0, -1, 2), OverflowError),
    ("flip", (1, 0, 0), TypeError),
    ("flip", None, TypeError),
    ("in_dims", None, TypeError),
    ("out_dims", (2.0, 3, 4), TypeError),
])
def test_conversion_errors(key, value, error):
    r = good()
    r[key] = value
    with pytest.raises(error):
        core.apply_reorient(np.zeros(24, np.float32), 1, r)


def test_numpy_bools_and_returned_dicts_are_accepted():
    r = good()
    r["flip"] = (np.bool_(True), np.False_, False)
    expected = np.arange(24, dtype=np.float32).reshape(4, 3, 2)[:, :, ::-1].ravel()
    np.testing.assert_array_equal(core.apply_reorient(np.arange(24, dtype=np.float32), 1, r), expected)
    for rec in (core.reorient_to_las(affine_of(("-z", "+x", "-y")), (2, 3, 4)), core.reorient_identity((2, 3, 4))):
        core.apply_reorient(np.zeros(24, np.float32), 1, rec)
        core.reorient_affine(np.eye(4), rec)
        core.out_ped(rec, 2, -1)


@pytest.mark.parametrize("change, message", [
    ({"src": (0, 0, 1)}, "reorient: src must be a permutation of (0, 1, 2), got [0, 0, 1]"),
    ({"src": (0, 1, 3)}, "reorient: src must be a permutation of (0, 1, 2), got [0, 1, 3]"),
    ({"out_dims": (3, 2, 4)},
     "reorient: out_dims [3, 2, 4] do not match in_dims [2, 3, 4] permuted by src [0, 1, 2]"),
    ({"src": (1, 0, 2)}, "reorient: out_dims [2, 3, 4] do not match in_dims [2, 3, 4] permuted by src [1, 0, 2]"),
])
@pytest.mark.parametrize("call", [
    lambda r: core.apply_reorient(np.zeros(24, np.float32), 1, r),
    lambda r: core.reorient_affine(np.eye(4), r),
    lambda r: core.out_ped(r, 0, 1),
])
def test_inconsistent_records_are_refused(change, message, call):
    r = good()
    r.update(change)
    with pytest.raises(ValueError, match=re.escape(message)):
        call(r)


def test_non_dict_reorient_is_a_type_error():
    with pytest.raises(TypeError) as e:
        core.out_ped([("src", (0, 1, 2))], 0, 1)
    assert "while processing 'reorient'" in e.value.__notes__
