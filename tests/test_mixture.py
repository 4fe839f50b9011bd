import math
import re

import numpy as np
import pytest

import quorvel._core as core

CSR = "offsets must be CSR: length n_streamlines+1, last entry == number of points"


def tissue(dims, wm=1.0, gm=0.0, csf=0.0, mask=1.0):
    n = int(np.prod(dims))
    return tuple(np.full(n, v, np.float32) for v in (wm, gm, csf, mask))


def streamlines(*lines):
    """CSR form of a list of point lists."""
    pts = [np.asarray(p, float).reshape(-1, 3) for p in lines]
    offsets = np.cumsum([0] + [len(p) for p in pts]).astype(np.uint32)
    positions = np.concatenate(pts) if pts else np.zeros((0, 3))
    return positions, offsets


def build(dims, positions, offsets, weights=None, affine=None, params=None, maps=None, **kw):
    wm, gm, csf, mask = maps if maps is not None else tissue(dims)
    affine = np.eye(4) if affine is None else affine
    return core.build_mixture(dims, wm, gm, csf, mask, affine, positions, offsets, weights,
                              params if params is not None else {}, **kw)


def fibers(dims, voxel, dirs, weight, params=None, maps=None, **kw):
    wm, gm, csf, mask = maps if maps is not None else tissue(dims)
    return core.mixture_from_fibers(dims, np.asarray(voxel, np.uint32), np.asarray(dirs, float).reshape(-1, 3),
                                    np.asarray(weight, float), wm, gm, csf, mask,
                                    params if params is not None else {}, **kw)


def rows(mix):
    return mix.odf().reshape(-1, mix.nvert)


def vertices(mix):
    return mix.sphere_vertices().reshape(-1, 3)


def kernel_reference(verts, direction, kappa=None):
    """Orientation kernel written out directly: Watson weights cut at 1e-8 and normalised, else
    the first vertex of largest |cos|."""
    u = np.asarray(direction, float) / np.linalg.norm(direction)
    c = verts @ u
    out = np.zeros(len(verts))
    if kappa is not None:
        k = np.exp(kappa * (c * c - 1.0))
        k[k < 1e-8] = 0.0
        if k.sum() > 0:
            return k / k.sum()
    out[np.argmax(np.abs(c))] = 1.0
    return out


def flat_index(dims, i, j, k):
    return i + dims[0] * (j + dims[1] * k)


# ---- the Mixture class ----

class TestMixtureClass:
    def test_registered_first_and_not_constructible(self):
        assert core.__all__[0] == "Mixture"
        assert core.Mixture.__module__ == "quorvel._core"
        with pytest.raises(TypeError):
            core.Mixture()

    def test_level3_sphere(self):
        dims = (2, 2, 2)
        mix = build(dims, *streamlines())
        assert mix.nvert == 321
        v = mix.sphere_vertices()
        assert v.dtype == np.float64 and v.shape == (3 * 321,)
        np.testing.assert_allclose(np.linalg.norm(v.reshape(-1, 3), axis=1), 1.0, rtol=0, atol=4e-16)
        a, b = 0.5257311121191336, 0.85065080835204
        level0 = [(-a, b, 0), (a, b, 0), (0, -a, b), (0, a, b), (-b, 0, a), (b, 0, a)]
        np.testing.assert_array_equal(v.reshape(-1, 3)[:6], level0)

    def test_accessors_return_fresh_copies(self):
        dims = (3, 2, 2)
        mix = fibers(dims, [0, 5], [[1, 0, 0], [0, 0, 1]], [1.0, 2.0])
        odf = mix.odf()
        assert odf.dtype == np.float32 and odf.shape == (12 * mix.nvert,)
        odf[:] = 7
        wm, gm, csf = mix.fractions()
        wm[:] = 9
        fb = mix.fallback()
        assert fb.dtype == np.uint8
        fb[:] = 3
        assert rows(mix).sum() == pytest.approx(3.0)
        assert np.all(mix.fractions()[0] == 1.0)
        assert set(mix.fallback()) == {0, 1}
        assert mix.odf() is not mix.odf()

    def test_properties(self):
        mix = fibers((3, 4, 5), [], [], [], sphere_level=1)
        assert mix.dims == (3, 4, 5)
        assert mix.nvert == 21
        assert mix.has_myelin is False

    def test_params_round_trip(self):
        params = {"preset": "adult", "fiber_radius_mm": 0.25, "t2_gm": 123.4}
        mix = fibers((1, 1, 1), [], [], [], params=params)
        expected = core.tissue_preset("adult")
        expected["fiber_radius_mm"] = 0.25
        expected["t2_gm"] = float(np.float32(123.4))
        assert mix.params() == expected
        assert list(mix.params()) == list(expected)

    def test_with_myelin_replaces_and_leaves_source(self):
        dims = (2, 2, 1)
        base = fibers(dims, [1], [[0, 1, 0]], [0.5])
        first = base.with_myelin(np.full(4, 0.25, np.float32))
        second = first.with_myelin(np.array([0.0, 1.0, 2.0, -1.0], np.float32))
        assert (base.has_myelin, first.has_myelin, second.has_myelin) == (False, True, True)
        assert type(second) is core.Mixture
        for m in (first, second):
            np.testing.assert_array_equal(m.odf(), base.odf())
            np.testing.assert_array_equal(m.fallback(), base.fallback())
            assert m.params() == base.params() and m.dims == base.dims
            np.testing.assert_array_equal(m.sphere_vertices(), base.sphere_vertices())

    @pytest.mark.parametrize("myelin, error, message", [
        (np.zeros(3, np.float32), ValueError, "myelin: expected 4 values, got 3"),
        (np.zeros(8, np.float32)[::2], ValueError, "The given array is not contiguous or is misaligned."),
        (np.zeros(4), TypeError, "'ndarray[float64, 1]' object is not an instance of 'ndarray[float32, 1]'"),
        ([0.0] * 4, TypeError, "'list' object is not an instance of 'ndarray[float32, 1]'"),
    ])
    def test_with_myelin_errors(self, myelin, error, message):
        base = fibers((2, 2, 1), [], [], [])
        with pytest.raises(error, match=re.escape(message)) as e:
            base.with_myelin(myelin)
        if error is TypeError:
            assert "while processing 'myelin'" in e.value.__notes__
        assert base.has_myelin is False

    def test_with_myelin_empty_strided_array_for_empty_grid(self):
        base = fibers((0, 2, 2), [], [], [])
        assert base.with_myelin(np.zeros(4, np.float32)[::4][:0]).has_myelin


# ---- build_mixture ----

class TestBuildMixture:
    @pytest.mark.parametrize("voxel_mm, radius", [(1.0, 1.0), (2.0, 0.5)])
    def test_segment_along_x_deposits_on_nearest_vertex(self, voxel_mm, radius):
        dims = (5, 3, 3)
        affine = np.diag([voxel_mm] * 3 + [1.0])
        # Voxel i spans [i, i + 1) in voxel coordinates: this segment covers voxels 1, 2, 3 fully.
        p = streamlines(np.array([[1.0, 1.5, 1.5], [4.0, 1.5, 1.5]]) * voxel_mm)
        mix = build(dims, *p, affine=affine, params={"fiber_radius_mm": radius})
        r = rows(mix)
        verts = vertices(mix)
        j = int(np.argmax(np.abs(verts[:, 0])))
        mass = np.float32(voxel_mm * math.pi * radius * radius)
        for i in range(dims[0]):
            expected = np.zeros(mix.nvert, np.float32)
            if 1 <= i <= 3:
                expected[j] = mass
            np.testing.assert_array_equal(r[flat_index(dims, i, 1, 1)], expected)
        assert r.sum() == pytest.approx(3 * float(mass), rel=1e-6)

    def test_reversed_streamlines_deposit_the_same(self, rng):
        dims = (6, 5, 4)
        lines = [np.cumsum(rng.normal(0, 0.7, (12, 3)), axis=0) + [3, 2.5, 2] for _ in range(20)]
        fwd = streamlines(*lines)
        rev = streamlines(*[line[::-1] for line in lines])
        for kappa in (None, 8.0):
            a, b = build(dims, *fwd, kappa=kappa), build(dims, *rev, kappa=kappa)
            # Piece lengths are dt*L from mirrored crossing parameters: equal to a few ulps.
            np.testing.assert_allclose(a.odf(), b.odf(), rtol=1e-6, atol=1e-6)
            assert np.count_nonzero(a.odf()) == np.count_nonzero(b.odf())

    def test_mass_is_length_inside_grid_times_weight_and_area(self, rng):
        dims = (7, 6, 5)
        lines = [rng.uniform([0.5, 0.5, 0.5], [6.5, 5.5, 4.5], (n, 3)) for n in (2, 5, 9, 1, 0, 4)]
        weights = rng.uniform(0.5, 2.0, len(lines)).astype(np.float32)
        params = {"fiber_radius_mm": 0.7}
        length = sum(w * np.linalg.norm(np.diff(line, axis=0), axis=1).sum()
                     for w, line in zip(weights.astype(float), lines))
        expected = length * math.pi * 0.7 ** 2
        for kappa in (None, 3.0):
            mix = build(dims, *streamlines(*lines), weights=weights, params=params, kappa=kappa)
            # float32 rounding of each of a few hundred cells.
            assert rows(mix).astype(float).sum() == pytest.approx(expected, rel=1e-6)

    def test_kappa_kernel_matches_watson_reference(self):
        dims = (3, 3, 3)
        d = np.array([0.3, -0.5, 0.8])
        d /= np.linalg.norm(d)
        p0 = np.array([1.5, 1.5, 1.5]) - 0.2 * d
        seg = streamlines([p0, p0 + 0.4 * d])
        for kappa in (0.5, 4.0, 40.0):
            mix = build(dims, *seg, kappa=kappa, sphere_level=2)
            ref = kernel_reference(vertices(mix), d, kappa) * 0.4 * math.pi
            np.testing.assert_allclose(rows(mix)[13], ref, rtol=1e-6, atol=1e-12)

    @pytest.mark.parametrize("kappa", [0.0, -2.5, float("nan"), None])
    def test_non_positive_kappa_is_nearest_vertex(self, rng, kappa):
        dims = (5, 5, 5)
        lines = [np.cumsum(rng.normal(0, 0.8, (10, 3)), axis=0) + 2.5 for _ in range(10)]
        p = streamlines(*lines)
        np.testing.assert_array_equal(build(dims, *p, kappa=kappa).odf(), build(dims, *p).odf())

    def test_huge_kappa_falls_back_to_nearest_vertex(self):
        dims = (3, 3, 3)
        d = np.array([1.0, 0.3, 0.2])
        d /= np.linalg.norm(d)
        p0 = np.array([1.5, 1.5, 1.5]) - 0.2 * d
        seg = streamlines([p0, p0 + 0.4 * d])
        near = build(dims, *seg)
        # The direction is several degrees from every vertex: kappa*(c^2 - 1) is far below ln(1e-8).
        c = np.abs(vertices(near) @ d).max()
        assert 1e6 * (c * c - 1) < -100
        huge = build(dims, *seg, kappa=1e6)
        np.testing.assert_array_equal(huge.odf(), near.odf())
        assert np.count_nonzero(rows(huge)[13]) == 1
        assert rows(huge)[13].sum() == pytest.approx(0.4 * math.pi, rel=1e-6)

    def test_weight_zero_removes_and_two_doubles(self, rng):
        dims = (6, 6, 6)
        lines = [np.cumsum(rng.normal(0, 0.8, (8, 3)), axis=0) + 3 for _ in range(3)]
        p = streamlines(*lines)
        weighted = build(dims, *p, weights=np.array([1.0, 0.0, 2.0], np.float32))
        parts = [build(dims, *streamlines(line)).odf() for line in lines]
        # Sums of the same pieces in the same order; doubling is exact in binary.
        expected = parts[0].astype(float) + 2 * parts[2].astype(float)
        np.testing.assert_allclose(weighted.odf(), expected, rtol=1e-6, atol=1e-7)
        only_zero = build(dims, *streamlines(lines[1]), weights=np.zeros(1, np.float32))
        assert not only_zero.odf().any()
        unit = build(dims, *p, weights=np.ones(3, np.float32))
        np.testing.assert_array_equal(unit.odf(), build(dims, *p).odf())

    def test_negative_weight_is_used_as_given(self):
        dims = (3, 1, 1)
        p = streamlines([[0.5, 0.5, 0.5], [2.5, 0.5, 0.5]])
        neg = build(dims, *p, weights=np.array([-1.0], np.float32))
        np.testing.assert_array_equal(neg.odf(), -build(dims, *p).odf())

    def test_unmasked_voxel_keeps_mass_without_fractions(self):
        dims = (3, 1, 1)
        maps = tissue(dims)
        maps[3][1] = 0.5  # exactly 0.5 is outside the mask
        mix = build(dims, *streamlines([[0.2, 0.5, 0.5], [2.8, 0.5, 0.5]]), maps=maps)
        assert rows(mix)[1].sum() == pytest.approx(math.pi, rel=1e-6)
        wm, gm, csf = mix.fractions()
        assert (wm[1], gm[1], csf[1], mix.fallback()[1]) == (0, 0, 0, 0)
        assert wm[0] == wm[2] == 1.0

    def test_fractions_and_fallback_flags(self):
        dims = (6, 1, 1)
        raw = np.array([[0.5, 0.3, 0.2], [0.0, 1.0, 0.0], [1.0, 1.0, 2.0], [0.0, 0.0, 0.0],
                        [4e-10, 4e-10, 0.0], [0.7, 0.1, 0.0]], np.float32)
        mask = np.ones(6, np.float32)
        maps = (raw[:, 0].copy(), raw[:, 1].copy(), raw[:, 2].copy(), mask)
        # Only the last voxel carries a fibre.
        mix = build(dims, *streamlines([[5.2, 0.5, 0.5], [5.8, 0.5, 0.5]]), maps=maps)
        wm, gm, csf = mix.fractions()
        s = raw.astype(float).sum(axis=1)
        expected = np.where(s[:, None] > 1e-9, raw / np.where(s > 1e-9, s, 1)[:, None], 0).astype(np.float32)
        np.testing.assert_array_equal(np.stack([wm, gm, csf], axis=1), expected)
        np.testing.assert_allclose(expected[0], [0.5, 0.3, 0.2])
        np.testing.assert_array_equal(mix.fallback(), [1, 0, 1, 0, 0, 0])

    def test_no_streamlines(self):
        dims = (2, 2, 2)
        maps = tissue(dims)
        maps[0][0] = 0.0  # no white matter: no fallback
        maps[3][1] = 0.0  # outside the mask: no fallback
        mix = build(dims, np.zeros((0, 3)), np.array([0], np.uint32), maps=maps)
        assert mix.odf().shape == (8 * 321,) and not mix.odf().any()
        np.testing.assert_array_equal(mix.fallback(), [0, 0, 1, 1, 1, 1, 1, 1])

    def test_outside_grid_and_single_points_deposit_nothing(self):
        dims = (3, 3, 3)
        p = streamlines([[-5, 1, 1], [-1, 1, 1]], [[1.5, 1.5, 1.5]], [[4, 4, 4], [9, 9, 9]],
                        [[1.5, 1.5, 1.5], [1.5, 1.5, 1.5]])
        mix = build(dims, *p, weights=np.ones(4, np.float32))
        assert not mix.odf().any()
        assert mix.fallback().all()

    def test_myelin_attached_and_sphere_level(self):
        dims = (2, 2, 1)
        mix = build(dims, *streamlines(), myelin=np.full(4, 0.5, np.float32), sphere_level=0)
        assert mix.has_myelin and mix.nvert == 6
        assert build(dims, *streamlines(), myelin=None).has_myelin is False

    def test_segment_inside_one_voxel_equals_fibre_entry(self):
        dims = (3, 3, 3)
        d = np.array([-0.2, 0.9, 0.4])
        d /= np.linalg.norm(d)
        p0 = np.array([1.5, 1.5, 1.5])
        for kappa in (None, 6.0):
            a = build(dims, *streamlines([p0, p0 + 0.3 * d]), kappa=kappa, params={"fiber_radius_mm": 2.0})
            b = fibers(dims, [13], [d], [0.3 * math.pi * 4.0], kappa=kappa)
            np.testing.assert_allclose(a.odf(), b.odf(), rtol=1e-6)

    @pytest.mark.parametrize("change, message", [
        ({"wm": np.zeros(7, np.float32)}, "wm: expected 8 values, got 7"),
        ({"mask": np.zeros(9, np.float32)}, "mask: expected 8 values, got 9"),
        ({"affine": np.eye(4)[:3]}, "affine must be (4, 4), got [3, 4]"),
        ({"positions": np.zeros((2, 2))}, "positions must have shape (n, 3), got [2, 2]"),
        ({"offsets": np.array([0, 9, 2, 9], np.uint32)[::2]}, "The given array is not contiguous or is misaligned."),
        ({"offsets": np.array([], np.uint32)}, CSR),
        ({"offsets": np.array([0, 1], np.uint32)}, CSR),
        ({"offsets": np.array([0, 3, 1, 2], np.uint32)}, "offsets[1] = 3 is beyond the number of points (2)"),
        ({"offsets": np.array([0, 2, 1, 2], np.uint32)}, "offsets must not decrease: offsets[1] = 2 > offsets[2] = 1"),
        ({"weights": np.ones(2, np.float32)}, "weights: expected 1 values, got 2"),
        ({"weights": np.ones(4, np.float32)[::2]}, "The given array is not contiguous or is misaligned."),
        ({"params": {"preset": "Adult"}}, "preset: expected 'neonatal', 'adult' or 'infant', got \"Adult\""),
        ({"myelin": np.ones(3, np.float32)}, "myelin: expected 8 values, got 3"),
        ({"dims": (2**32, 2**32, 1)}, "dims [4294967296, 4294967296, 1] hold more voxels than can be addressed"),
        ({"sphere_level": 40}, "a mixture of 8 voxels on a level-40 hemisphere is too large"),
    ])
    def test_value_errors(self, change, message):
        dims = (2, 2, 2)
        wm, gm, csf, mask = tissue(dims)
        args = dict(dims=dims, wm=wm, gm=gm, csf=csf, mask=mask, affine=np.eye(4),
                    positions=np.array([[0.5, 0.5, 0.5], [1.5, 0.5, 0.5]]),
                    offsets=np.array([0, 2], np.uint32), weights=None, params={})
        args.update(change)
        with pytest.raises(ValueError, match=re.escape(message)):
            core.build_mixture(**args)

    def test_checks_come_in_order(self):
        # A bad affine is reported before bad offsets and bad weights.
        dims = (2, 2, 2)
        wm, gm, csf, mask = tissue(dims)
        with pytest.raises(ValueError, match=re.escape("affine must be (4, 4)")):
            core.build_mixture(dims, wm, gm, csf, mask, np.eye(3), np.zeros((1, 3)),
                               np.array([5], np.uint32), np.ones(9, np.float32), {})
        with pytest.raises(ValueError, match=re.escape(CSR)):
            core.build_mixture(dims, wm, gm, csf, mask, np.eye(4), np.zeros((1, 3)),
                               np.array([5], np.uint32), np.ones(9, np.float32), {"preset": "x"})

    @pytest.mark.parametrize("name, value", [
        ("offsets", np.array([0, 2], np.int64)),
        ("positions", np.zeros((2, 3), np.float32)),
        ("weights", np.ones(1)),
        ("params", [("preset", "adult")]),
        ("dims", [2, 2, 2]),
        ("sphere_level", -1),
        ("kappa", "5"),
    ])
    def test_type_errors_name_the_argument(self, name, value):
        dims = (2, 2, 2)
        wm, gm, csf, mask = tissue(dims)
        args = dict(dims=dims, wm=wm, gm=gm, csf=csf, mask=mask, affine=np.eye(4),
                    positions=np.array([[0.5, 0.5, 0.5], [1.5, 0.5, 0.5]]),
                    offsets=np.array([0, 2], np.uint32), weights=None, params={})
        args[name] = value
        with pytest.raises((TypeError, OverflowError)) as e:
            core.build_mixture(**args)
        assert f"while processing '{name}'" in e.value.__notes__


# ---- mixture_from_fibers ----

class TestMixtureFromFibers:
    def test_two_directions_in_one_voxel(self):
        dims = (2, 2, 2)
        mix = fibers(dims, [3, 3], [[1, 0, 0], [0, 1, 0]], [0.6, 0.4])
        verts = vertices(mix)
        row = rows(mix)[3]
        ix, iy = np.argmax(np.abs(verts[:, 0])), np.argmax(np.abs(verts[:, 1]))
        expected = np.zeros(mix.nvert, np.float32)
        expected[ix], expected[iy] = 0.6, 0.4
        np.testing.assert_array_equal(row, expected)
        assert not np.delete(rows(mix), 3, axis=0).any()

    def test_inert_entries_and_direction_sign(self):
        dims = (2, 1, 1)
        base = fibers(dims, [0], [[0, 0, 1]], [1.5])
        same = fibers(dims, [0, 1, 1, 0], [[0, 0, -2], [1, 0, 0], [0, 0, 0], [0, 0, 1e-13]], [1.5, 0.0, 3.0, 2.0])
        np.testing.assert_array_equal(same.odf(), base.odf())
        np.testing.assert_array_equal(same.fallback(), [0, 1])

    @pytest.mark.parametrize("kappa", [0.3, 5.0, 60.0])
    def test_kappa_kernel_matches_watson_reference(self, rng, kappa):
        dims = (4, 1, 1)
        dirs = rng.normal(size=(4, 3))
        weight = rng.uniform(0.1, 3.0, 4)
        mix = fibers(dims, [0, 1, 2, 3], dirs, weight, kappa=kappa)
        verts = vertices(mix)
        ref = np.stack([w * kernel_reference(verts, d, kappa) for d, w in zip(dirs, weight)])
        np.testing.assert_allclose(rows(mix), ref, rtol=1e-6, atol=1e-12)

    @pytest.mark.parametrize("direction, tied, winner", [([0, 0, 1], (2, 3), 2), ([0, -1, 0], (0, 1), 0)])
    def test_ties_go_to_the_lowest_vertex(self, direction, tied, winner):
        mix = fibers((1, 1, 1), [0], [direction], [1.0], sphere_level=0)
        c = np.abs(vertices(mix) @ direction)
        assert c[tied[0]] == c[tied[1]] == c.max()
        np.testing.assert_array_equal(rows(mix)[0], np.eye(6)[winner])

    def test_huge_kappa_falls_back(self, rng):
        dims = (1, 1, 1)
        d = [1.0, 0.3, 0.2]
        np.testing.assert_array_equal(fibers(dims, [0], [d], [2.0], kappa=1e6).odf(),
                                      fibers(dims, [0], [d], [2.0]).odf())

    @pytest.mark.parametrize("kappa", [0.0, -1.0, float("nan")])
    def test_non_positive_kappa_is_nearest_vertex(self, rng, kappa):
        dirs = rng.normal(size=(5, 3))
        args = ((5, 1, 1), [0, 1, 2, 3, 4], dirs, np.ones(5))
        np.testing.assert_array_equal(fibers(*args, kappa=kappa).odf(), fibers(*args).odf())

    def test_radius_plays_no_part_and_no_myelin(self):
        args = ((2, 1, 1), [1], [[0.2, 0.3, 0.9]], [0.7])
        a = fibers(*args, params={"fiber_radius_mm": 3.0})
        b = fibers(*args, params={"fiber_radius_mm": 0.1})
        np.testing.assert_array_equal(a.odf(), b.odf())
        assert rows(a)[1].max() == np.float32(0.7)
        assert a.has_myelin is False

    def test_empty_list_flags_masked_white_matter(self):
        dims = (4, 1, 1)
        maps = (np.array([1, 0, 1, 1e-10], np.float32), np.array([0, 1, 0, 0], np.float32),
                np.zeros(4, np.float32), np.array([1, 1, 0, 1], np.float32))
        mix = fibers(dims, [], np.zeros((0, 3)), [], maps=maps)
        assert not mix.odf().any()
        np.testing.assert_array_equal(mix.fallback(), [1, 0, 0, 0])

    @pytest.mark.parametrize("voxel, dirs, weight, message", [
        ([0, 1, 1000], [[1, 0, 0]] * 3, [1, 1, 1], "fibre voxel index 1000 out of range for [10, 10, 10]"),
        ([5000, 1000], [[1, 0, 0]] * 2, [1, 1], "fibre voxel index 5000 out of range for [10, 10, 10]"),
        ([0, 1, 2], [[1, 0, 0]] * 2, [1, 1, 1], "dirs: expected 3 values, got 2"),
        ([0, 1, 2], [[1, 0, 0]] * 3, [1, 1], "weight: expected 3 values, got 2"),
        ([0, 1, 2000], [[1, 0, 0]] * 3, [1, 1], "weight: expected 3 values, got 2"),
    ])
    def test_value_errors(self, voxel, dirs, weight, message):
        with pytest.raises(ValueError, match=re.escape(message)):
            fibers((10, 10, 10), voxel, dirs, weight)

    @pytest.mark.parametrize("change, message", [
        ({"voxel": np.arange(6, dtype=np.uint32)[::2]}, "The given array is not contiguous or is misaligned."),
        ({"weight": np.ones(6)[::2]}, "The given array is not contiguous or is misaligned."),
        ({"dirs": np.zeros((3, 4))}, "dirs must have shape (n, 3), got [3, 4]"),
        ({"csf": np.zeros(2, np.float32)}, "csf: expected 8 values, got 2"),
        ({"params": {"b_value": "1000"}}, "b_value: expected a number"),
    ])
    def test_array_and_parameter_errors(self, change, message):
        dims = (2, 2, 2)
        wm, gm, csf, mask = tissue(dims)
        args = dict(dims=dims, voxel=np.array([0, 1, 2], np.uint32), dirs=np.eye(3), weight=np.ones(3),
                    wm=wm, gm=gm, csf=csf, mask=mask, params={})
        args.update(change)
        with pytest.raises(ValueError, match=re.escape(message)):
            core.mixture_from_fibers(**args)
