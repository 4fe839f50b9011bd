"""Ground-truth fibre peaks of a mixture (`Mixture.truth_peaks`)."""
import math

import numpy as np
import pytest

import quorvel._core as core
from conftest import raises


def mixture(dims, entries, kappa=None):
    """entries: (flat voxel, direction, mass); a direction exactly on a sphere vertex deposits on
    that vertex alone."""
    one, (voxel, dirs, mass) = np.ones(int(np.prod(dims)), np.float32), zip(*entries) if entries else ((), (), ())
    return core.mixture_from_fibers(dims, np.array(voxel, np.uint32), np.reshape(dirs, (-1, 3)).astype(float),
                                    np.array(mass, float), one, 0 * one, 0 * one, one, {}, kappa=kappa)


VERTS = mixture((1, 1, 1), []).sphere_vertices().reshape(-1, 3)


def nearest(direction):
    d = np.asarray(direction, float)
    return VERTS[np.argmax(np.abs(VERTS @ d / np.linalg.norm(d)))]


X, Y, Z = (nearest(d) for d in ([1, 0, 0], [0, 1, 0], [0, 0, 1]))


def test_fine_voxels_are_summed_per_acquired_voxel():
    # 4x2x2 fine grid, o = 2: acquired voxel (X, 0, z) holds fine x = 2X, 2X + 1, y = 0, 1 of slice z
    entries = [(0, X, 1.0), (1, X, 1.0), (4, X, 1.0), (5, Y, 1.0),  # (0, 0, 0): 3 X, 1 Y
               (2, Z, 2.0), (7, Y, 2.0),                            # (1, 0, 0): Z and Y equally
               (13, Z, 1.0)]                                        # (0, 0, 1); (1, 0, 1) is empty
    p = mixture((4, 2, 2), entries).truth_peaks(2, 2).reshape(4, 2, 3)
    assert p.dtype == np.float32
    np.testing.assert_allclose(p[0], [0.75 * X, 0.25 * Y], atol=1e-7)
    # equal fractions keep acceptance order, which for equal weights is vertex order
    first, second = sorted([Z, Y], key=lambda v: np.flatnonzero((VERTS == v).all(1))[0])
    np.testing.assert_allclose(p[1], [0.5 * first, 0.5 * second], atol=1e-7)
    np.testing.assert_allclose(p[2:], [[Z, 0 * Z], [0 * Z, 0 * Z]], atol=1e-7)


COS14, COS30, COS25 = (math.cos(math.radians(a)) for a in (14, 30, 25))


def row_peaks_reference(verts, w, npeaks):
    """Brute force: local maxima over 14 degrees (ties to the lower index), 30-degree lobes of at
    least 5 % of the mass refined by power iteration, merged within 25 degrees; every vertex's mass
    to its nearest peak (ties to the later peak); peaks by decreasing fraction."""
    total, cos, idx = w.sum(), np.abs(verts @ verts.T), np.arange(len(w))
    if not total > 0:
        return []
    maxima = [i for i in idx if w[i] > 0 and not ((cos[i] > COS14) & ((w > w[i]) | ((w == w[i]) & (idx < i)))).any()]
    peaks = []
    for i in sorted(maxima, key=lambda i: -w[i]):
        if len(peaks) == npeaks:
            break
        lobe = (cos[i] > COS30) & (w > 0)
        if w[lobe].sum() / total < 0.05:
            continue
        t, d = np.einsum("k,ki,kj->ij", w[lobe], verts[lobe], verts[lobe]), verts[i]
        for _ in range(50):
            d = t @ d / np.linalg.norm(t @ d)
        if all(abs(d @ p) <= COS25 for p in peaks):
            peaks.append(d)
    fractions = np.zeros(len(peaks))
    for j in np.flatnonzero(w > 0) if peaks else []:
        c = [abs(verts[j] @ p) for p in peaks]
        fractions[max(range(len(peaks)), key=lambda k: (c[k], k))] += w[j] / total
    return [fractions[k] * peaks[k] for k in sorted(range(len(peaks)), key=lambda k: -fractions[k])]


@pytest.mark.parametrize("kappa, npeaks", [(20.0, 4), (6.0, 2), (6.0, 0), (None, 3), (None, 1)])
def test_random_rows_against_brute_force(rng, kappa, npeaks):
    # Watson-spread rows exercise lobes (some under 5 % of the mass) and merging; masses of 1 to 5 deposited on single vertices
    # within 40 degrees of two centres make equal weights and close neighbours, so the tie rule and
    # the neighbourhood radius decide which vertices are maxima
    nvox, per = 60, 4 if kappa else 10
    if kappa:
        dirs, masses = rng.normal(size=(nvox * per, 3)), rng.uniform(0.05, 1.0, nvox * per)
    else:
        near = np.abs(VERTS @ VERTS.T) > math.cos(math.radians(40))
        dirs = VERTS[[j for c in rng.integers(0, len(VERTS), 2 * nvox) for j in rng.choice(np.flatnonzero(near[c]), 5, False)]]
        masses = rng.integers(1, 6, nvox * per).astype(float)
    mix = mixture((nvox, 1, 1), list(zip(np.repeat(np.arange(nvox), per), dirs, masses)), kappa)
    got = mix.truth_peaks(1, npeaks).reshape(nvox, npeaks, 3)
    for row, peaks in zip(mix.odf().reshape(nvox, -1).astype(float), got):
        ref, want = row_peaks_reference(VERTS, row, npeaks), np.zeros((npeaks, 3))
        want[:len(ref)] = np.reshape(ref, (-1, 3))
        np.testing.assert_allclose(peaks, want, atol=1e-6)  # float32 output


@pytest.mark.parametrize("o, npeaks, error, text", [
    (2, 2, ValueError, "oversampling 2 does not divide the mixture grid [5, 4, 3]"),
    (0, 2, ValueError, "oversampling 0 does not divide the mixture grid [5, 4, 3]"),
    (1, 2**62, ValueError, "npeaks: 4611686018427387904 peaks per voxel cannot be held in memory"),
    (1.5, 2, TypeError, "while processing 'o'"),
    (1, "2", TypeError, "while processing 'npeaks'"),
    (1, -1, OverflowError, "while processing 'npeaks'"),
])
def test_errors(o, npeaks, error, text):
    raises(error, text, lambda: mixture((5, 4, 3), []).truth_peaks(o, npeaks))
