"""The k-space acquisition pinned against transcriptions made here: the random draws (coil noise,
spikes, image noise, the per-shot phase) bit for bit from their keys, and GRAPPA against a NumPy
reconstruction. The two encoding paths are checked against a direct sum in the C++ tests."""
import itertools
import math

import numpy as np
import pytest

import quorvel._core as core
from conftest import GOLDEN, M64, splitmix as mix
from test_acquire import IDENTITY, acquire, make_comp, pairs, rand_comp


def uniforms(key, n):
    """u_1 .. u_n of the SplitMix64 stream of `key`, strictly inside (0, 1)."""
    return [((mix((key + k * GOLDEN) & M64) >> 11) + 0.5) * 2.0**-53 for k in range(1, n + 1)]


def normal(u1, u2):
    return math.sqrt(-2 * math.log(u1)) * math.cos(2 * math.pi * u2)


# ---- random draws ----


def test_coil_noise_and_spikes_follow_their_keys(rng):
    # local slice 1 is global slice 2: the slice seed takes the global index; both coils, both volumes
    nx, ny, v, seed, var = 8, 8, 2, 0xdeadbeef12345, 64.0
    comp = rand_comp(rng, (nx, ny, 3), v)
    acq = {**IDENTITY, "n_coils": 2, "partial_fourier": 0.75}
    kw = dict(seed=seed, slice_z=[0, 2, 3], nz_full=4, kspace_slices=[1], capture=(True, False, False))
    clean, noisy, spiky = (pairs(acquire(comp, (nx, ny, 3), {**acq, **extra}, **kw)["kspace"]["acquired"]).reshape(v, 2, -1)
                           for extra in ({}, {"noise_variance": var}, {"n_spikes": 5, "spike_amplitude": 2.5}))
    sampled = np.flatnonzero(core.sampling_mask(nx, ny, acq))
    sigma = math.sqrt(var / (nx * ny))
    for vol in range(v):
        s = (((vol * 0x1000001 + 2) * 0x9e37) & M64) ^ seed  # the key of global slice 2
        spikes = {int(sampled[mix((s ^ 0xa5a5123456789abc) + k * GOLDEN & M64) % sampled.size]) for k in range(1, 6)}
        for c in range(2):
            state, want = ((c * 0x9e3779b9) ^ s) | 1, np.zeros(nx * ny, complex)
            for i in sampled:
                u = uniforms(state, 4)
                state = (state + 4 * GOLDEN) & M64
                want[i] = sigma * (normal(u[0], u[1]) + 1j * normal(u[2], u[3]))
            # float32 captures of the float64 sums: rounding of the noisy samples only
            np.testing.assert_allclose(noisy[vol, c] - clean[vol, c], want, rtol=0, atol=5e-7 * np.abs(noisy).max())
            assert set(np.flatnonzero(spiky[vol, c] != clean[vol, c])) <= spikes
            peak = clean[vol, c, np.argmax(np.abs(clean[vol, c]))]
            np.testing.assert_allclose(spiky[vol, c, sorted(spikes)], 2.5 * peak, rtol=1e-6)


def test_image_noise_follows_its_key(rng):
    # slab of local slices 0, 1 at global 3, 1: the key takes the global slice, the sigma map the local
    nx, ny, nz, v, seed = 6, 4, 2, 3, 12345
    comp = rand_comp(rng, (nx, ny, nz), v)
    sigma = rng.uniform(-0.2, 1.0, nx * ny * nz).astype(np.float32)  # a sigma <= 0 adds nothing
    kw = dict(seed=seed, slice_z=[3, 1], nz_full=5)
    clean, noisy = (acquire(comp, (nx, ny, nz), IDENTITY, noise_sigma=s, **kw) for s in (None, sigma))
    want = np.zeros((2, nx * ny * nz, v))
    for (z, zg), y, x, vol in itertools.product(enumerate([3, 1]), range(ny), range(nx), range(v)):
        i, key = x + nx * (y + ny * z), (((nx * (ny * zg + y) + x) * 0xbf58476d1ce4e5b9) & M64) ^ (vol * GOLDEN & M64) ^ seed | 1
        u = uniforms(key, 4)
        want[:, i, vol] = float(sigma[i]) * np.array([normal(u[0], u[1]), normal(u[2], u[3])]) * (sigma[i] > 0)
    for part, key in enumerate(("re", "im")):
        got = noisy[key].astype(float) - clean[key]
        np.testing.assert_allclose(got, want[part].ravel(), rtol=0, atol=3e-7 * np.abs(noisy[key]).max())


def shot_phase(bval, bvec, vol, zg, seed, nx, ny, nz_full):
    """The "hbcd" phase of one shot on an o = 1 slice: the slice polynomial plus g . (t + w x r)."""
    y, x = np.mgrid[0:ny, 0:nx].astype(float)
    xx, yy, zz = x - nx / 2, y - ny / 2, zg - nz_full / 2
    phase = 0.13 * xx + 0.1 * yy + 0.02 * zz
    if bval <= 0 or np.linalg.norm(bvec) < 1e-12:
        return phase
    u = uniforms((zg * 0xbf58476d1ce4e5b9 & M64) ^ seed ^ (vol * GOLDEN & M64), 12)
    n = [normal(u[2 * j], u[2 * j + 1]) for j in range(6)]
    g = np.asarray(bvec) / np.linalg.norm(bvec) * math.sqrt(bval) * 0.0425
    t, w = 1.0 * np.array(n[:3]), 0.002 * np.array(n[3:])
    return (phase + g[0] * (t[0] + w[1] * zz - w[2] * yy) + g[1] * (t[1] + w[2] * xx - w[0] * zz)
            + g[2] * (t[2] + w[0] * yy - w[1] * xx))


def test_phase_model_reaches_the_image(rng):
    # o = 1 and an identity protocol: the image is the object times exp(i phase), at the global slice
    nx, ny, nz, seed = 8, 6, 2, 77
    bvals, bvecs = np.array([0.0, 1000.0, 2500.0]), np.array([[0.0, 0, 0], [2.0, 0, 0], [0.3, -0.5, 0.8]])
    comp = rand_comp(rng, (nx, ny, nz), 3)
    out = acquire(comp, (nx, ny, nz), IDENTITY, bvals=bvals, bvecs=bvecs, phase_model="hbcd", seed=seed, slice_z=[1, 4],
                  nz_full=6)
    obj = comp.images()[0].reshape(nz, ny, nx, 3).astype(float)
    got = (out["re"] + 1j * out["im"]).reshape(nz, ny, nx, 3)
    for z, zg in enumerate([1, 4]):
        for vol in range(3):
            want = obj[z, :, :, vol] * np.exp(1j * shot_phase(bvals[vol], bvecs[vol], vol, zg, seed, nx, ny, 6))
            np.testing.assert_allclose(got[z, :, :, vol], want, rtol=0, atol=2e-6)  # float32 of a DFT pair


# ---- GRAPPA ----


def grappa(ks, mask, accel, acs_lines):
    """GRAPPA with 2x3 kernels over all coils, ridge 1e-4, calibrated on the centre band."""
    nc, ny, nx = ks.shape
    ks, hy, half = ks.copy(), ny // 2, acs_lines // 2
    lo, hi = max(hy - half, 0), min(hy + half, ny - 1)

    def sources(r0, kx):  # (6 nc,) ordered (row, column, coil)
        cols = [(kx - 1) % nx, kx, (kx + 1) % nx]
        return np.array([ks[t, r, c] for r in (r0, r0 + accel) for c in cols for t in range(nc)])

    for d in range(1, accel):
        calib = [(r, kx) for r in range(lo, hi - accel + 1) for kx in range(nx)]
        s = np.array([sources(r, kx) for r, kx in calib]).reshape(len(calib), 6 * nc)
        target = np.array([[ks[t, r + d, kx] for t in range(nc)] for r, kx in calib]).reshape(len(calib), nc)
        w = np.linalg.solve(s.conj().T @ s + 1e-4 * np.eye(6 * nc), s.conj().T @ target)
        for ky in range(ny):
            if (ky - hy) % accel == d and ky >= d and abs(ky - hy) > half and ky - d + accel < ny:
                for kx in range(nx):
                    ks[:, ky, kx] = sources(ky - d, kx) @ w
    return ks


# half the calibration band not a multiple of accel puts fill rows right at its edge; without
# calibration every weight and so every fill is 0
@pytest.mark.parametrize("accel, acs", [(2, 14), (2, 0), (3, 16), (4, 22)])
def test_grappa_against_numpy_and_full_sampling(rng, accel, acs):
    n = 36
    y, x = np.mgrid[0:n, 0:n]
    img = np.exp(-((x - 15) ** 2 + (y - 19) ** 2) / 90) + 0.5 * np.exp(-((x - 23) ** 2 + (y - 11) ** 2) / 15)
    comp = make_comp([img + 0.02 * rng.random((n, n))], (n, n, 1), 1)
    base = {**IDENTITY, "n_coils": 6, "acs_lines": acs}
    full = acquire(comp, (n, n, 1), base)
    out = acquire(comp, (n, n, 1), {**base, "accel": accel}, kspace_slices=[0], capture=(True, True, False))
    acq_k, rec_k = (pairs(out["kspace"][k]).reshape(6, n, n) for k in ("acquired", "reconstructed"))
    want = grappa(acq_k, out["kspace"]["mask"].reshape(n, n), accel, acs)
    # the filled rows hold about 1 % of the peak; float32 captures round them to ~1e-9 of it
    np.testing.assert_allclose(rec_k, want, rtol=0, atol=2e-8 * np.abs(want).max())
    ref, got = full["re"] + 1j * full["im"], out["re"] + 1j * out["im"]
    assert (np.linalg.norm(got - ref) / np.linalg.norm(ref) < 0.05) == (acs > 0)
