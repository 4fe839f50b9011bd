"""Ground-truth fibre peaks of a mixture (`Mixture.truth_peaks`)."""
import math
import re

import numpy as np
import pytest

import quorvel._core as core


def tissue(nvox):
    one = np.ones(nvox, np.float32)
    return one, one * 0, one * 0, one


def mixture(dims, entries):
    """entries: (flat voxel, direction, mass); directions placed exactly on sphere vertices
    deposit on that vertex alone."""
    nvox = int(np.prod(dims))
    voxel = np.array([e[0] for e in entries], np.uint32)
    dirs = np.array([e[1] for e in entries], float).reshape(-1, 3)
    mass = np.array([e[2] for e in entries], float)
    return core.mixture_from_fibers(dims, voxel, dirs, mass, *tissue(nvox), {})


VERTS = core.mixture_from_fibers((1, 1, 1), np.zeros(0, np.uint32), np.zeros((0, 3)), np.zeros(0),
                                 *tissue(1), {}).sphere_vertices().reshape(-1, 3)


def nearest(direction):
    d = np.asarray(direction, float)
    return VERTS[np.argmax(np.abs(VERTS @ d / np.linalg.norm(d)))]


def angle(a, b):
    return math.degrees(math.acos(min(1.0, abs(float(a @ b)))))


def peaks_of(mix, o=1, npeaks=3):
    out = mix.truth_peaks(o, npeaks)
    assert out.dtype == np.float32
    return out.reshape(-1, npeaks, 3)


def test_one_peak_carries_all_the_mass():
    v = nearest([0.3, 0.2, 0.9])
    p = peaks_of(mixture((1, 1, 1), [(0, v, 2.5)]))[0]
    np.testing.assert_allclose(p[0], v, atol=1e-7)  # float32 output of a unit vector times 1
    assert not p[1:].any()


@pytest.mark.parametrize("npeaks", [1, 2, 3])
def test_two_orthogonal_fibres(npeaks):
    x, y = nearest([1, 0, 0]), nearest([0, 1, 0])
    assert angle(x, y) == pytest.approx(90.0)
    p = peaks_of(mixture((1, 1, 1), [(0, y, 0.4), (0, x, 0.6)]), npeaks=npeaks)[0]
    if npeaks == 1:
        # only the heavier peak: the mass nearest to it is all the mass
        np.testing.assert_allclose(p[0], x, atol=1e-7)
        return
    np.testing.assert_allclose(p[0], 0.6 * x, atol=1e-7)
    np.testing.assert_allclose(p[1], 0.4 * y, atol=1e-7)
    assert not p[2:].any()


def test_peaks_within_25_degrees_merge():
    a = nearest([1, 0, 0])
    # a vertex 16-22 degrees away: both are local maxima (more than 14 degrees apart), each lobe
    # holds the other, so both refine to the same axis
    b = next(v for v in VERTS if 16.0 < angle(a, v) < 22.0)
    p = peaks_of(mixture((1, 1, 1), [(0, a, 0.6), (0, b, 0.4)]))[0]
    assert not p[1:].any()
    assert np.linalg.norm(p[0]) == pytest.approx(1.0, abs=1e-6)
    # the merged direction is the principal axis of the lobe
    t = 0.6 * np.outer(a, a) + 0.4 * np.outer(b, b)
    axis = np.linalg.eigh(t)[1][:, 2]
    assert angle(p[0].astype(float), axis) < 1e-3


@pytest.mark.parametrize("small, separate", [(0.03, False), (0.06, True)])
def test_a_lobe_under_five_percent_is_no_peak_but_keeps_its_mass(small, separate):
    x, z = nearest([1, 0, 0]), nearest([0, 0, 1])
    p = peaks_of(mixture((1, 1, 1), [(0, x, 1 - small), (0, z, small)]))[0]
    if separate:
        np.testing.assert_allclose(p[0], (1 - small) * x, atol=1e-7)
        np.testing.assert_allclose(p[1], small * z, atol=1e-7)
    else:
        np.testing.assert_allclose(p[0], x, atol=1e-7)
        assert not p[1:].any()


def test_fine_voxels_are_summed_per_acquired_voxel():
    # 4x2x1 fine grid, o = 2: acquired voxel 0 holds fine x 0..1, voxel 1 fine x 2..3.
    x, y, z = nearest([1, 0, 0]), nearest([0, 1, 0]), nearest([0, 0, 1])
    entries = [(0, x, 1.0), (1, x, 1.0), (4, x, 1.0), (5, y, 1.0),  # voxel 0: 3 x, 1 y
               (2, z, 2.0), (7, y, 2.0)]                            # voxel 1: z and y equally
    p = peaks_of(mixture((4, 2, 1), entries), o=2, npeaks=2)
    assert p.shape == (2, 2, 3)
    np.testing.assert_allclose(p[0], [0.75 * x, 0.25 * y], atol=1e-7)
    # equal fractions keep acceptance order, which for equal weights is vertex order
    first, second = sorted([z, y], key=lambda v: int(np.flatnonzero((VERTS == v).all(1))[0]))
    np.testing.assert_allclose(p[1], [0.5 * first, 0.5 * second], atol=1e-7)


def test_voxels_without_fibres_stay_zero():
    x = nearest([1, 0, 0])
    p = peaks_of(mixture((3, 1, 1), [(1, x, 1.0)]))
    assert not p[0].any() and not p[2].any()
    assert p[1, 0] == pytest.approx(x, abs=1e-7)


def test_random_histograms_give_consistent_peaks(rng):
    dims = (6, 6, 2)
    nvox = 72
    voxel = np.repeat(np.arange(nvox, dtype=np.uint32), 3)
    dirs = rng.normal(size=(3 * nvox, 3))
    mass = rng.uniform(0.05, 1.0, 3 * nvox)
    mix = core.mixture_from_fibers(dims, voxel, dirs, mass, *tissue(nvox), {}, kappa=20.0)
    p = peaks_of(mix, npeaks=4)
    fractions = np.linalg.norm(p, axis=2)
    # float32 products: fractions to ~1e-7
    np.testing.assert_allclose(fractions.sum(1), 1.0, atol=1e-6)
    assert (np.diff(fractions, axis=1) <= 1e-7).all()
    for row, f in zip(p, fractions):
        units = [row[k] / f[k] for k in range(4) if f[k] > 0]
        for i in range(len(units)):
            for j in range(i):
                assert angle(units[i].astype(float), units[j].astype(float)) >= 25.0 - 1e-3
    # the odf is all a peak finder sees: o = 1 over the same field twice is identical
    assert np.array_equal(mix.truth_peaks(1, 4), mix.truth_peaks(1, 4))


def test_npeaks_zero_is_an_empty_array():
    out = mixture((2, 2, 1), [(0, nearest([1, 0, 0]), 1.0)]).truth_peaks(1, 0)
    assert out.shape == (0,) and out.dtype == np.float32


@pytest.mark.parametrize("o, message", [
    (2, "oversampling 2 does not divide the mixture grid [5, 4, 3]"),
    (4, "oversampling 4 does not divide the mixture grid [5, 4, 3]"),
    (0, "oversampling 0 does not divide the mixture grid [5, 4, 3]"),
])
def test_oversampling_must_divide_the_grid(o, message):
    mix = mixture((5, 4, 3), [])
    with pytest.raises(ValueError, match=re.escape(message)):
        mix.truth_peaks(o, 2)


def test_absurd_npeaks_is_refused_before_allocating():
    mix = mixture((2, 2, 1), [])
    with pytest.raises(ValueError, match=re.escape("npeaks 4611686018427387904 is too large for 4 acquired voxels")):
        mix.truth_peaks(1, 2**62)


@pytest.mark.parametrize("name, value, error", [("o", 1.5, TypeError), ("npeaks", "2", TypeError),
                                                ("npeaks", -1, OverflowError)])
def test_argument_errors_name_the_argument(name, value, error):
    mix = mixture((2, 2, 1), [])
    kwargs = {"o": 1, "npeaks": 2, name: value}
    with pytest.raises(error) as info:
        mix.truth_peaks(**kwargs)
    assert f"while processing '{name}'" in getattr(info.value, "__notes__", [])
