import math
import re

import numpy as np
import pytest

import quorvel._core as core

CSR = "offsets must be CSR: length n_streamlines+1, last entry == number of points"


def tissue(dims, wm=1.0, gm=0.0, csf=0.0, mask=1.0):
    return [np.full(int(np.prod(dims)), v, np.float32) for v in (wm, gm, csf, mask)]


def lines_csr(*lines):
    pts = [np.asarray(p, float).reshape(-1, 3) for p in lines]
    offsets = np.cumsum([0] + [len(p) for p in pts]).astype(np.uint32)
    return (np.concatenate(pts) if pts else np.zeros((0, 3))), offsets


def build(dims, positions, offsets, weights=None, affine=None, params=None, maps=None, **kw):
    maps = tissue(dims) if maps is None else maps
    return core.build_mixture(dims, *maps, np.eye(4) if affine is None else affine, positions, offsets, weights,
                              params or {}, **kw)


def fibers(dims, voxel, dirs, weight, params=None, maps=None, **kw):
    maps = tissue(dims) if maps is None else maps
    return core.mixture_from_fibers(dims, np.asarray(voxel, np.uint32), np.asarray(dirs, float).reshape(-1, 3),
                                    np.asarray(weight, float), *maps, params or {}, **kw)


def rows(mix):
    return mix.odf().reshape(-1, mix.nvert)


def kernel_reference(verts, direction, kappa=None):
    """Watson weights cut at 1e-8 and normalised, else the first vertex of largest |cos|."""
    c = verts @ (np.asarray(direction, float) / np.linalg.norm(direction))
    if kappa is not None:
        k = np.exp(kappa * (c * c - 1.0))
        k[k < 1e-8] = 0.0
        if k.sum() > 0:
            return k / k.sum()
    return np.eye(len(verts))[np.argmax(np.abs(c))]


def random_walks(rng, n, points, start):
    return lines_csr(*[np.cumsum(rng.normal(0, 0.8, (points, 3)), axis=0) + start for _ in range(n)])


# ---- Mixture ----

def test_class_and_accessors():
    assert core.__all__[0] == "Mixture" and core.Mixture.__module__ == "quorvel._core"
    with pytest.raises(TypeError):
        core.Mixture()
    mix = fibers((3, 2, 2), [0, 5], [[1, 0, 0], [0, 0, 1]], [1.0, 2.0], params={"preset": "adult", "t2_gm": 123.4})
    assert (mix.dims, mix.nvert, mix.has_myelin) == ((3, 2, 2), 321, False)
    v = mix.sphere_vertices()
    assert v.dtype == np.float64 and v.shape == (963,)
    expected = core.tissue_preset("adult") | {"t2_gm": float(np.float32(123.4))}
    assert mix.params() == expected and list(mix.params()) == list(expected)
    # Every accessor returns a fresh array: writing into one leaves the mixture as it was.
    odf, (wm, _, _), fb = mix.odf(), mix.fractions(), mix.fallback()
    assert (odf.dtype, wm.dtype, fb.dtype) == (np.float32, np.float32, np.uint8)
    odf[:], wm[:], fb[:] = 7, 9, 3
    assert rows(mix).sum() == 3.0 and np.all(mix.fractions()[0] == 1) and set(mix.fallback()) == {0, 1}


def test_with_myelin_copies_and_replaces():
    base = fibers((2, 2, 1), [1], [[0, 1, 0]], [0.5], sphere_level=1)
    first = base.with_myelin(np.full(4, 0.25, np.float32))
    second = first.with_myelin(np.array([0, 1, 2, -1], np.float32))
    assert (base.has_myelin, first.has_myelin, second.has_myelin) == (False, True, True)
    for m in (first, second):
        for accessor in ("odf", "fallback", "sphere_vertices"):
            np.testing.assert_array_equal(getattr(m, accessor)(), getattr(base, accessor)())
        assert (m.params(), m.dims, m.nvert) == (base.params(), base.dims, 21)


@pytest.mark.parametrize("myelin, error, message", [
    (np.zeros(3, np.float32), ValueError, "myelin: expected 4 values, got 3"),
    (np.zeros(8, np.float32)[::2], ValueError, "The given array is not contiguous or is misaligned."),
    (np.zeros(4), TypeError, "'ndarray[float64, 1]' object is not an instance of 'ndarray[float32, 1]'"),
])
def test_with_myelin_errors(myelin, error, message):
    base = fibers((2, 2, 1), [], [], [])
    with pytest.raises(error, match=re.escape(message)):
        base.with_myelin(myelin)
    assert base.has_myelin is False


# ---- build_mixture ----

@pytest.mark.parametrize("voxel_mm, radius", [(1.0, 1.0), (2.0, 0.5)])
def test_segment_along_x_deposits_on_nearest_vertex(voxel_mm, radius):
    dims = (5, 3, 3)
    # Voxel i spans [i, i + 1) in voxel coordinates: the segment covers voxels 1, 2 and 3 whole.
    p = lines_csr(np.array([[1.0, 1.5, 1.5], [4.0, 1.5, 1.5]]) * voxel_mm)
    mix = build(dims, *p, affine=np.diag([voxel_mm] * 3 + [1.0]), params={"fiber_radius_mm": radius})
    x = np.argmax(np.abs(mix.sphere_vertices().reshape(-1, 3)[:, 0]))
    expected = np.zeros((45, mix.nvert), np.float32)
    expected[[1 + 5 * 4 + i for i in range(3)], x] = voxel_mm * math.pi * radius * radius
    np.testing.assert_array_equal(rows(mix), expected)


@pytest.mark.parametrize("kappa", [None, 8.0])
def test_reversed_streamlines_deposit_the_same(rng, kappa):
    lines = [np.cumsum(rng.normal(0, 0.7, (12, 3)), axis=0) + [3, 2.5, 2] for _ in range(20)]
    a = build((6, 5, 4), *lines_csr(*lines), kappa=kappa)
    b = build((6, 5, 4), *lines_csr(*[line[::-1] for line in lines]), kappa=kappa)
    # Pieces are dt*L from mirrored crossing parameters: equal to a few ulps.
    np.testing.assert_allclose(a.odf(), b.odf(), rtol=1e-6, atol=1e-6)
    assert np.count_nonzero(a.odf()) == np.count_nonzero(b.odf())


@pytest.mark.parametrize("kappa", [None, 3.0])
def test_mass_is_length_times_weight_and_area(rng, kappa):
    lines = [rng.uniform(0.5, 4.5, (n, 3)) for n in (2, 5, 9, 1, 0, 4)]
    weights = rng.uniform(0.5, 2.0, len(lines)).astype(np.float32)
    length = sum(w * np.linalg.norm(np.diff(p, axis=0), axis=1).sum() for w, p in zip(weights.astype(float), lines))
    mix = build((5, 5, 5), *lines_csr(*lines), weights=weights, params={"fiber_radius_mm": 0.7}, kappa=kappa)
    assert rows(mix).astype(float).sum() == pytest.approx(length * math.pi * 0.49, rel=1e-6)


@pytest.mark.parametrize("kappa", [None, 6.0])
def test_segment_inside_one_voxel_equals_fibre_entry(kappa):
    d = np.array([-0.2, 0.9, 0.4]) / np.linalg.norm([-0.2, 0.9, 0.4])
    a = build((3, 3, 3), *lines_csr([[1.5] * 3, 1.5 + 0.3 * d]), kappa=kappa, params={"fiber_radius_mm": 2.0})
    b = fibers((3, 3, 3), [13], [d], [0.3 * math.pi * 4.0], kappa=kappa)
    np.testing.assert_allclose(a.odf(), b.odf(), rtol=1e-6)


@pytest.mark.parametrize("kappa", [0.0, -2.5, float("nan")])
def test_non_positive_kappa_is_nearest_vertex(rng, kappa):
    p = random_walks(rng, 10, 10, 2.5)
    np.testing.assert_array_equal(build((5, 5, 5), *p, kappa=kappa).odf(), build((5, 5, 5), *p).odf())
    dirs = rng.normal(size=(5, 3))
    np.testing.assert_array_equal(fibers((5, 1, 1), range(5), dirs, np.ones(5), kappa=kappa).odf(),
                                  fibers((5, 1, 1), range(5), dirs, np.ones(5)).odf())


def test_huge_kappa_falls_back_to_nearest_vertex():
    d = np.array([1.0, 0.3, 0.2]) / np.linalg.norm([1.0, 0.3, 0.2])
    p = lines_csr([1.5 - 0.2 * d, 1.5 + 0.2 * d])
    near = build((3, 3, 3), *p)
    # Several degrees from every vertex: kappa*(c^2 - 1) is far below ln(1e-8) everywhere.
    assert 1e6 * (np.abs(near.sphere_vertices().reshape(-1, 3) @ d).max() ** 2 - 1) < -100
    huge = build((3, 3, 3), *p, kappa=1e6)
    np.testing.assert_array_equal(huge.odf(), near.odf())
    assert np.count_nonzero(rows(huge)[13]) == 1 and rows(huge)[13].sum() == pytest.approx(0.4 * math.pi)


def test_weight_zero_removes_and_two_doubles(rng):
    lines = [np.cumsum(rng.normal(0, 0.8, (8, 3)), axis=0) + 3 for _ in range(3)]
    weighted = build((6, 6, 6), *lines_csr(*lines), weights=np.array([1, 0, 2], np.float32))
    parts = [build((6, 6, 6), *lines_csr(p)).odf().astype(float) for p in lines]
    np.testing.assert_allclose(weighted.odf(), parts[0] + 2 * parts[2], rtol=1e-6, atol=1e-7)
    assert not build((6, 6, 6), *lines_csr(lines[1]), weights=np.zeros(1, np.float32)).odf().any()


def test_fractions_fallback_and_mask():
    raw = np.array([[0.5, 0.3, 0.2], [0, 1, 0], [1, 1, 2], [0, 0, 0], [4e-10, 4e-10, 0], [0.7, 0.1, 0],
                    [1, 0, 0]], np.float32)
    mask = np.array([1, 1, 1, 1, 1, 1, 0.5], np.float32)  # exactly 0.5 is outside
    # Fibres only in voxels 5 (masked) and 6 (unmasked).
    mix = build((7, 1, 1), *lines_csr([[5.2, 0.5, 0.5], [6.8, 0.5, 0.5]]), maps=[*raw.T.copy(), mask])
    s = raw.astype(float).sum(axis=1, keepdims=True)
    expected = np.where((s > 1e-9) & (mask[:, None] > 0.5), raw / np.maximum(s, 1e-30), 0).astype(np.float32)
    np.testing.assert_array_equal(np.stack(mix.fractions(), axis=1), expected)
    np.testing.assert_array_equal(mix.fallback(), [1, 0, 1, 0, 0, 0, 0])
    assert rows(mix)[6].sum() == pytest.approx(0.8 * math.pi)  # unmasked voxels keep their mass


def test_nothing_deposited():
    maps = tissue((2, 2, 2))
    maps[0][0], maps[3][1] = 0, 0  # no white matter / outside the mask: no fallback
    mix = build((2, 2, 2), np.zeros((0, 3)), np.array([0], np.uint32), maps=maps, myelin=np.ones(8, np.float32))
    assert not mix.odf().any() and mix.has_myelin
    np.testing.assert_array_equal(mix.fallback(), [0, 0, 1, 1, 1, 1, 1, 1])
    # Outside the grid, single points and zero-length segments deposit nothing either.
    p = lines_csr([[-5, 1, 1], [-1, 1, 1]], [[1.5] * 3], [[4] * 3, [9] * 3], [[1.5] * 3, [1.5] * 3])
    assert not build((3, 3, 3), *p, sphere_level=0).odf().any()


def args_for(dims=(2, 2, 2)):
    wm, gm, csf, mask = tissue(dims)
    return dict(dims=dims, wm=wm, gm=gm, csf=csf, mask=mask, affine=np.eye(4),
                positions=np.array([[0.5, 0.5, 0.5], [1.5, 0.5, 0.5]]), offsets=np.array([0, 2], np.uint32),
                weights=None, params={})


@pytest.mark.parametrize("change, message", [
    ({"wm": np.zeros(7, np.float32)}, "wm: expected 8 values, got 7"),
    ({"affine": np.eye(4)[:3], "offsets": np.array([5], np.uint32)}, "affine must be (4, 4), got [3, 4]"),
    ({"positions": np.zeros((2, 2))}, "positions must have shape (n, 3), got [2, 2]"),
    ({"offsets": np.array([0, 9, 2, 9], np.uint32)[::2]}, "The given array is not contiguous or is misaligned."),
    ({"offsets": np.array([], np.uint32)}, CSR),
    ({"offsets": np.array([0, 1], np.uint32), "params": {"preset": "x"}}, CSR),
    ({"offsets": np.array([0, 3, 1, 2], np.uint32)}, "offsets[1] = 3 is beyond the number of points (2)"),
    ({"offsets": np.array([0, 2, 1, 2], np.uint32)}, "offsets must not decrease: offsets[1] = 2 > offsets[2] = 1"),
    ({"weights": np.ones(2, np.float32)}, "weights: expected 1 values, got 2"),
    ({"params": {"preset": "Adult"}}, "preset: expected 'neonatal', 'adult' or 'infant', got \"Adult\""),
    ({"myelin": np.ones(3, np.float32)}, "myelin: expected 8 values, got 3"),
    ({"dims": (2**32, 2**32, 1)}, "dims [4294967296, 4294967296, 1] hold more voxels than can be addressed"),
    ({"sphere_level": 40}, "a mixture of 8 voxels on a level-40 hemisphere is too large"),
])
def test_build_value_errors(change, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        core.build_mixture(**(args_for() | change))


@pytest.mark.parametrize("name, value", [("offsets", np.array([0, 2], np.int64)), ("weights", np.ones(1)),
                                         ("sphere_level", -1), ("kappa", "5")])
def test_build_type_errors_name_the_argument(name, value):
    with pytest.raises((TypeError, OverflowError)) as e:
        core.build_mixture(**(args_for() | {name: value}))
    assert f"while processing '{name}'" in e.value.__notes__


# ---- mixture_from_fibers ----

def test_two_directions_in_one_voxel():
    mix = fibers((2, 2, 2), [3, 3], [[1, 0, 0], [0, 1, 0]], [0.6, 0.4])
    v = np.abs(mix.sphere_vertices().reshape(-1, 3))
    expected = np.zeros((8, mix.nvert), np.float32)
    expected[3, np.argmax(v[:, 0])], expected[3, np.argmax(v[:, 1])] = 0.6, 0.4
    np.testing.assert_array_equal(rows(mix), expected)


def test_inert_entries_sign_and_radius():
    base = fibers((2, 1, 1), [0], [[0, 0, 1]], [1.5])
    same = fibers((2, 1, 1), [0, 1, 1, 0], [[0, 0, -2], [1, 0, 0], [0, 0, 0], [0, 0, 1e-13]], [1.5, 0, 3, 2],
                  params={"fiber_radius_mm": 3.0})
    np.testing.assert_array_equal(same.odf(), base.odf())
    np.testing.assert_array_equal(same.fallback(), [0, 1])
    assert rows(base).max() == 1.5


@pytest.mark.parametrize("kappa", [None, 0.3, 5.0, 60.0, 1e6])
def test_kernel_matches_reference(rng, kappa):
    dirs, weight = rng.normal(size=(4, 3)), rng.uniform(0.1, 3.0, 4)
    mix = fibers((4, 1, 1), range(4), dirs, weight, kappa=kappa)
    verts = mix.sphere_vertices().reshape(-1, 3)
    ref = np.stack([w * kernel_reference(verts, d, kappa) for d, w in zip(dirs, weight)])
    np.testing.assert_allclose(rows(mix), ref, rtol=1e-6, atol=1e-12)


@pytest.mark.parametrize("direction, winner", [([0, 0, 1], 2), ([0, -1, 0], 0)])
def test_ties_go_to_the_lowest_vertex(direction, winner):
    # At level 0, (0, 0, 1) is equally close to vertices 2 and 3, (0, 1, 0) to vertices 0 and 1.
    np.testing.assert_array_equal(fibers((1, 1, 1), [0], [direction], [1.0], sphere_level=0).odf(), np.eye(6)[winner])


def test_empty_list_flags_masked_white_matter():
    maps = [np.array(m, np.float32) for m in ([1, 0, 1, 1e-10], [0, 1, 0, 0], [0, 0, 0, 0], [1, 1, 0, 1])]
    mix = fibers((4, 1, 1), [], [], [], maps=maps)
    assert not mix.odf().any()
    np.testing.assert_array_equal(mix.fallback(), [1, 0, 0, 0])


@pytest.mark.parametrize("voxel, n_dirs, n_weight, message", [
    ([0, 1, 1000], 3, 3, "fibre voxel index 1000 out of range for [10, 10, 10]"),
    ([5000, 1000], 2, 2, "fibre voxel index 5000 out of range for [10, 10, 10]"),
    ([0, 1, 2], 2, 3, "dirs: expected 3 values, got 2"),
    ([0, 1, 2000], 3, 2, "weight: expected 3 values, got 2"),
])
def test_fibre_value_errors(voxel, n_dirs, n_weight, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        fibers((10, 10, 10), voxel, np.ones((n_dirs, 3)), np.ones(n_weight))
    with pytest.raises(ValueError, match=re.escape("The given array is not contiguous or is misaligned.")):
        fibers((10, 10, 10), [0, 1], [[1, 0, 0]] * 2, np.ones(4)[::2])
