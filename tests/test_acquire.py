import hashlib
import re
import threading
import time

import numpy as np
import pytest

import quorvel._core as core
from conftest import run_isolated

# An acquisition that leaves the object as it is: one uniform coil, no decay, no off-resonance.
IDENTITY = {"do_relaxation": False, "do_distortions": False, "signal_scale": 1.0}


def make_comp(images, dims, ngrad, t2=None):
    """A Compartments object from (nz, ny, nx, V) arrays (the interleaved layout flattened)."""
    flat = [np.ascontiguousarray(i, dtype=np.float32).ravel() for i in images]
    return core.Compartments.from_images(dims, ngrad, flat, list(t2 or [80.0] * len(images)))


def acquire(comp, acq_dims, acquisition, fmap=None, bvals=None, bvecs=None, **kw):
    snx, sny, nz = comp.dims
    v = comp.ngrad
    if fmap is None:
        fmap = np.zeros(snx * sny * nz, np.float32)
    if bvals is None:
        bvals = np.zeros(v)
    if bvecs is None:
        bvecs = np.zeros((v, 3))
    return core.simulate_acquisition(comp, fmap, acq_dims, bvals, bvecs, acquisition, **kw)


def volumes(flat, dims, v):
    """(nz, ny, nx, V) view of a flat 4-D interleaved result."""
    nx, ny, nz = dims
    return flat.reshape(nz, ny, nx, v)


def pairs(flat):
    return flat[0::2].astype(np.float64) + 1j * flat[1::2]


def smooth_image(nx, ny, rng):
    y, x = np.mgrid[0:ny, 0:nx]
    img = np.exp(-((x - 0.45 * nx) ** 2 + (y - 0.55 * ny) ** 2) / (2 * (0.22 * nx) ** 2))
    img += 0.5 * np.exp(-((x - 0.7 * nx) ** 2 + (y - 0.3 * ny) ** 2) / (2 * (0.08 * nx) ** 2))
    return img + 0.05 * rng.random((ny, nx))


# ---- physics: identity, field-map shift, ghost, GRAPPA ----


@pytest.mark.parametrize("o", [1, 2])
def test_identity_acquisition_returns_the_image(rng, o):
    nx, ny, nz, v = 12, 10, 2, 3
    if o == 1:
        img = rng.random((nz, ny, nx, v))
    else:
        # On an oversampled grid only a uniform image is reproduced exactly: any structure is
        # band-limited to the acquired matrix.
        img = np.broadcast_to(rng.random((1, 1, 1, v)), (nz, ny * o, nx * o, v))
    comp = make_comp([img], (nx * o, ny * o, nz), v)
    out = acquire(comp, (nx, ny, nz), {**IDENTITY, "signal_scale": 3.0}, phase_model="none")
    want = 3.0 * (img if o == 1 else img[:, :ny, :nx, :])
    # float32 results of a double-precision transform pair: a few float32 ulps.
    np.testing.assert_allclose(volumes(out["re"], (nx, ny, nz), v), want, rtol=2e-6, atol=1e-5)
    np.testing.assert_allclose(out["im"], 0.0, atol=1e-5)
    assert out["kspace"] is None


def test_uniform_image_is_a_single_kspace_sample():
    nx, ny = 9, 8
    comp = make_comp([np.ones((1, ny, nx, 1))], (nx, ny, 1), 1)
    out = acquire(comp, (nx, ny, 1), IDENTITY, phase_model="none", kspace_slices=[0], capture=(True, False, False))
    k = pairs(out["kspace"]["acquired"]).reshape(ny, nx)
    want = np.zeros((ny, nx))
    want[ny // 2, nx // 2] = 1.0
    np.testing.assert_allclose(k, want, atol=1e-6)
    # ...and that single 1 at the centre reconstructs to ones.
    np.testing.assert_allclose(out["re"], 1.0, rtol=1e-6)


@pytest.mark.parametrize("reverse, direction", [(False, -1), (True, 1)])
def test_uniform_field_shifts_along_phase_encode(rng, reverse, direction):
    # An odd readout length puts the centre sample of every line at the same place in the
    # zig-zag, so the line times are exactly linear and the shift is an exact circular one.
    nx, ny, t_line, shift = 15, 16, 1.0, 2
    f_hz = shift * 1000.0 / (ny * t_line)  # shift = f * (total readout time)
    img = rng.random((1, ny, nx, 1))
    comp = make_comp([img], (nx, ny, 1), 1)
    acq = {**IDENTITY, "do_distortions": True, "t_line": t_line, "reverse_phase": reverse}
    out = acquire(comp, (nx, ny, 1), acq, fmap=np.full(nx * ny, f_hz, np.float32), phase_model="none")
    mag = volumes(out["mag"], (nx, ny, 1), 1)
    np.testing.assert_allclose(mag, np.roll(img, direction * shift, axis=1), rtol=1e-5, atol=1e-5)


def test_ghost_puts_a_copy_at_half_the_field_of_view(rng):
    nx, ny, g = 16, 16, 0.1
    img = np.zeros((1, ny, nx, 1))
    img[0, 2:6, 3:13, 0] = rng.random((4, 10)) + 0.5
    comp = make_comp([img], (nx, ny, 1), 1)
    out = acquire(comp, (nx, ny, 1), {**IDENTITY, "ghost_offset": g}, phase_model="none")
    mag = volumes(out["mag"], (nx, ny, 1), 1)[0, :, :, 0]
    # Opposite ramps on even and odd lines: cos of the ramp stays in place, sin of it is
    # modulated by (-1)^ky, which moves it by ny/2.
    alpha = 2 * np.pi * g * (np.arange(nx) - nx // 2) / nx
    obj = img[0, :, :, 0]
    np.testing.assert_allclose(mag, np.abs(np.cos(alpha)) * obj + np.abs(np.sin(alpha)) * np.roll(obj, ny // 2, 0),
                               atol=1e-5)
    assert mag[10:14, 3:13].max() > 0.1  # the ghost is really there


def test_negative_ghost_offset_equals_its_magnitude(rng):
    img = rng.random((1, 8, 8, 1))
    comp = make_comp([img], (8, 8, 1), 1)
    a = acquire(comp, (8, 8, 1), {**IDENTITY, "ghost_offset": 0.2}, phase_model="none")
    b = acquire(comp, (8, 8, 1), {**IDENTITY, "ghost_offset": -0.2}, phase_model="none")
    np.testing.assert_array_equal(a["re"], b["re"])


def test_grappa_restores_the_fully_sampled_reconstruction(rng):
    nx = ny = 32
    img = smooth_image(nx, ny, rng)[None, :, :, None]
    comp = make_comp([img], (nx, ny, 1), 1)
    base = {**IDENTITY, "n_coils": 4, "acs_lines": 16}
    full = acquire(comp, (nx, ny, 1), base, phase_model="none")
    kw = dict(phase_model="none", kspace_slices=[0], capture=(True, True, False))
    r2 = acquire(comp, (nx, ny, 1), {**base, "accel": 2}, **kw)
    zf = acquire(comp, (nx, ny, 1), {**base, "accel": 2, "acs_lines": 0}, **kw)
    ref = full["re"] + 1j * full["im"]
    err = np.linalg.norm(r2["re"] + 1j * r2["im"] - ref) / np.linalg.norm(ref)
    err_zero = np.linalg.norm(zf["re"] + 1j * zf["im"] - ref) / np.linalg.norm(ref)
    assert err < 0.02
    assert err_zero > 10 * err  # without calibration the skipped lines stay empty

    mask = r2["kspace"]["mask"].reshape(ny, nx)
    acq_k = pairs(r2["kspace"]["acquired"]).reshape(4, ny, nx)
    rec_k = pairs(r2["kspace"]["reconstructed"]).reshape(4, ny, nx)
    sampled = mask[:, 0] == 1
    assert sampled.sum() == 16 + 8  # the even lines plus the odd ones of the calibration band 8..24
    np.testing.assert_array_equal(rec_k[:, sampled], acq_k[:, sampled])
    assert np.all(acq_k[:, ~sampled] == 0)
    filled = [1, 3, 5, 7, 25, 27, 29]
    assert np.all(rec_k[:, filled] != 0)
    assert np.all(rec_k[:, 31] == 0)  # its second source row would lie beyond the matrix
    # With no calibration lines the weights are zero: filled rows are 0, except rows at the
    # k-space edge that have no source row beyond them (ky - d + R >= ny) and keep their value.
    zf_k = pairs(zf["kspace"]["reconstructed"]).reshape(4, ny, nx)
    np.testing.assert_array_equal(zf_k, pairs(zf["kspace"]["acquired"]).reshape(4, ny, nx))


# ---- reconstruction details seen through the capture ----


def window_weight(kind, nx, ny):
    ky, kx = np.mgrid[0:ny, 0:nx]
    rho = 2 * np.sqrt(((kx - nx // 2) / nx) ** 2 + ((ky - ny // 2) / ny) ** 2)
    if kind == "hann":
        return np.where(rho < 1, 0.5 * (1 + np.cos(np.pi * rho)), 0.0)
    if kind[0] == "tukey":
        a = min(max(kind[1], 0.0), 1.0)
        taper = 0.5 * (1 + np.cos(np.pi * (rho - (1 - a)) / max(a, 1e-12)))
        return np.where(rho <= 1 - a, 1.0, np.where(rho >= 1, 0.0, taper))
    r, w = kind[1], kind[2]
    with np.errstate(over="ignore"):
        return 1 / (1 + np.exp((rho - r) / (w if w > 1e-12 else 1e-12)))


@pytest.mark.parametrize("window", ["hann", ("tukey", 0.4), ("tukey", 2.0), ("fermi", 0.8, 0.05), ("fermi", 0.5, 0.0)])
def test_window_weights(rng, window):
    nx, ny = 16, 12
    comp = make_comp([rng.random((1, ny, nx, 1))], (nx, ny, 1), 1)
    out = acquire(comp, (nx, ny, 1), {**IDENTITY, "window": window}, phase_model="none", kspace_slices=[0],
                  capture=(True, True, False))
    acq_k = pairs(out["kspace"]["acquired"]).reshape(ny, nx)
    rec_k = pairs(out["kspace"]["reconstructed"]).reshape(ny, nx)
    want = window_weight(window, nx, ny)
    np.testing.assert_allclose(np.abs(rec_k), want * np.abs(acq_k), rtol=1e-6, atol=1e-7)
    if window == ("fermi", 0.5, 0.0):
        # A zero width is a step with weight 1/2 exactly at rho = r (kx - hx = nx/4).
        assert rec_k[ny // 2, nx // 2 + 4] == pytest.approx(0.5 * acq_k[ny // 2, nx // 2 + 4], rel=1e-6)


def test_tukey_of_one_is_hann(rng):
    comp = make_comp([rng.random((1, 8, 8, 1))], (8, 8, 1), 1)
    a = acquire(comp, (8, 8, 1), {**IDENTITY, "window": ("tukey", 1.0)}, phase_model="none")
    b = acquire(comp, (8, 8, 1), {**IDENTITY, "window": "hann"}, phase_model="none")
    np.testing.assert_allclose(a["re"], b["re"], rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("n_coils", [0, 1, 3])
def test_sensitivities_and_coil_images(rng, n_coils):
    nx, ny = 10, 8
    img = rng.random((1, ny, nx, 1))
    comp = make_comp([img], (nx, ny, 1), 1)
    out = acquire(comp, (nx, ny, 1), {**IDENTITY, "n_coils": n_coils}, phase_model="none", kspace_slices=[0],
                  capture=(False, False, True))
    cap = out["kspace"]
    nc = max(n_coils, 1)
    assert cap["n_coils"] == nc
    sens = cap["sensitivities"].reshape(nc, ny, nx)
    y, x = np.mgrid[0:ny, 0:nx]
    r = max(nx, ny)
    for c in range(nc):
        if nc == 1:
            want = np.ones((ny, nx))
        else:
            th = 2 * np.pi * c / nc
            cx, cy = nx / 2 + 0.6 * r * np.cos(th), ny / 2 + 0.6 * r * np.sin(th)
            want = np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * (0.9 * r) ** 2)) + 0.15
        np.testing.assert_allclose(sens[c], want, rtol=1e-6)
        # Each coil sees the object through its own sensitivity (the same maps on o = 1).
        coil = pairs(cap["coil_images"]).reshape(nc, ny, nx)[c]
        np.testing.assert_allclose(np.abs(coil), want * img[0, :, :, 0], rtol=1e-5, atol=1e-6)
    # The sensitivity-weighted combination gives the object back.
    np.testing.assert_allclose(out["re"], img.ravel(), rtol=1e-5, atol=1e-6)


def test_spikes_replace_sampled_samples_by_the_scaled_peak(rng):
    nx, ny = 16, 16
    comp = make_comp([rng.random((1, ny, nx, 1))], (nx, ny, 1), 1)
    acq = {**IDENTITY, "partial_fourier": 0.75}
    kw = dict(phase_model="none", kspace_slices=[0], capture=(True, False, False))
    clean = pairs(acquire(comp, (nx, ny, 1), acq, **kw)["kspace"]["acquired"])
    spiky = pairs(acquire(comp, (nx, ny, 1), {**acq, "n_spikes": 4, "spike_amplitude": 3.0}, **kw)["kspace"]["acquired"])
    changed = np.flatnonzero(clean != spiky)
    peak = clean[np.argmax(np.abs(clean))]
    assert 1 <= changed.size <= 4
    assert np.all(changed // nx < 12)  # scanner partial Fourier keeps lines 0..11
    np.testing.assert_allclose(spiky[changed], 3.0 * peak, rtol=1e-6)
    # Nothing sampled: nothing to spike.
    none = acquire(comp, (nx, ny, 1), {**acq, "partial_fourier": 0.0, "n_spikes": 4}, **kw)
    assert np.all(none["kspace"]["acquired"] == 0)


def test_kspace_noise_touches_sampled_samples_only(rng):
    nx, ny, var = 32, 32, 4.0
    comp = make_comp([rng.random((1, ny, nx, 1))], (nx, ny, 1), 1)
    acq = {**IDENTITY, "partial_fourier": 0.75, "n_coils": 2}
    kw = dict(phase_model="none", kspace_slices=[0], capture=(True, False, False))
    clean = pairs(acquire(comp, (nx, ny, 1), acq, **kw)["kspace"]["acquired"]).reshape(2, ny, nx)
    noisy_out = acquire(comp, (nx, ny, 1), {**acq, "noise_variance": var}, **kw)
    noisy = pairs(noisy_out["kspace"]["acquired"]).reshape(2, ny, nx)
    again = acquire(comp, (nx, ny, 1), {**acq, "noise_variance": var}, **kw)
    np.testing.assert_array_equal(noisy_out["kspace"]["acquired"], again["kspace"]["acquired"])
    noise = noisy - clean
    assert np.all(noise[:, 24:, :] == 0)
    sd = np.sqrt(var / (nx * ny))
    # 768 complex samples per coil: the sample sd is within 10% with overwhelming probability.
    for c in range(2):
        assert np.std(noise[c, :24].real) == pytest.approx(sd, rel=0.1)
        assert np.std(noise[c, :24].imag) == pytest.approx(sd, rel=0.1)
    assert not np.allclose(noise[0, :24], noise[1, :24])  # coils draw independently


def test_relaxation_and_echo_time_per_volume(rng):
    nx, ny, v = 8, 8, 3
    img = rng.random((1, ny, nx, v))
    t2 = 60.0
    comp = make_comp([img], (nx, ny, 1), v, t2=[t2])
    acq = {"do_distortions": False, "signal_scale": 1.0, "t_inhom": 1e12}
    base = acquire(comp, (nx, ny, 1), acq, phase_model="none")
    te = [90.0, 60.0, 90.0]
    out = acquire(comp, (nx, ny, 1), acq, phase_model="none", te_per_volume=te)
    a = volumes(base["mag"], (nx, ny, 1), v)
    b = volumes(out["mag"], (nx, ny, 1), v)
    np.testing.assert_array_equal(a[..., [0, 2]], b[..., [0, 2]])
    np.testing.assert_allclose(b[..., 1] / a[..., 1], np.exp(30.0 / t2), rtol=1e-4)


# ---- the driver: noise, slices, capture, determinism ----


def test_image_noise_follows_the_sigma_map(rng):
    nx, ny, nz, v = 8, 8, 2, 40
    comp = make_comp([rng.random((nz, ny, nx, v))], (nx, ny, nz), v)
    sigma = np.zeros(nx * ny * nz, np.float32)
    sigma[::2] = 0.5
    clean = acquire(comp, (nx, ny, nz), IDENTITY, phase_model="none")
    noisy = acquire(comp, (nx, ny, nz), IDENTITY, phase_model="none", noise_sigma=sigma, seed=5)
    again = acquire(comp, (nx, ny, nz), IDENTITY, phase_model="none", noise_sigma=sigma, seed=5)
    other = acquire(comp, (nx, ny, nz), IDENTITY, phase_model="none", noise_sigma=sigma, seed=6)
    np.testing.assert_array_equal(noisy["re"], again["re"])
    assert not np.array_equal(noisy["re"], other["re"])
    d = (noisy["re"] - clean["re"]).reshape(-1, v)
    e = (noisy["im"] - clean["im"]).reshape(-1, v)
    assert np.all(d[1::2] == 0) and np.all(e[1::2] == 0)
    # 64 voxels x 40 volumes of unit-normal draws scaled by 0.5.
    assert np.std(d[::2]) == pytest.approx(0.5, rel=0.08)
    assert np.std(e[::2]) == pytest.approx(0.5, rel=0.08)


def test_slab_with_global_slice_indices_matches_the_full_volume(rng):
    nx, ny, nz, v = 8, 8, 4, 3
    img = rng.random((nz, ny * 2, nx * 2, v))
    comp = make_comp([img, 0.5 * img], (nx * 2, ny * 2, nz), v, t2=[80.0, 1500.0])
    fmap = (20 * rng.standard_normal(nx * ny * 16)).astype(np.float32)
    sigma = np.full(nx * ny * nz, 0.1, np.float32)
    bvals = np.array([0.0, 1000.0, 2000.0])
    bvecs = np.array([[0.0, 0, 0], [1, 0, 0], [0, 0.6, 0.8]])
    acq = {"n_coils": 2, "accel": 2, "acs_lines": 4, "noise_variance": 0.5, "ghost_offset": 0.02,
           "eddy_strength": 0.01, "eddy_phase": 0.001}
    full = acquire(comp, (nx, ny, nz), acq, fmap=fmap, bvals=bvals, bvecs=bvecs, seed=9, noise_sigma=sigma)
    slab = comp.select_slices([2])
    one = acquire(slab, (nx, ny, 1), acq, fmap=fmap.reshape(nz, -1)[2].copy(), bvals=bvals, bvecs=bvecs, seed=9,
                  noise_sigma=sigma[: nx * ny], slice_z=[2], nz_full=nz)
    for key in ("re", "im"):
        np.testing.assert_array_equal(volumes(full[key], (nx, ny, nz), v)[2], volumes(one[key], (nx, ny, 1), v)[0])
    # Without the global index the slice gets another phase and other random draws.
    local = acquire(slab, (nx, ny, 1), acq, fmap=fmap.reshape(nz, -1)[2].copy(), bvals=bvals, bvecs=bvecs, seed=9)
    assert not np.array_equal(local["re"], one["re"])


def test_capture_order_repeats_and_flags(rng):
    nx, ny, nz, v = 6, 4, 4, 2
    comp = make_comp([rng.random((nz, ny, nx, v))], (nx, ny, nz), v)
    acq = {"n_coils": 2}
    out = acquire(comp, (nx, ny, nz), acq, kspace_slices=[3, 1, 3], capture=(True, False, True), seed=3)
    cap = out["kspace"]
    assert list(cap) == ["slices", "nx", "ny", "n_coils", "mask", "sensitivities", "combined", "acquired",
                         "reconstructed", "coil_images"]
    assert cap["slices"] == [3, 1, 3] and (cap["nx"], cap["ny"], cap["n_coils"]) == (nx, ny, 2)
    assert cap["reconstructed"] is None
    assert cap["mask"].dtype == np.uint8 and cap["mask"].shape == (ny * nx,)
    comb = pairs(cap["combined"]).reshape(v, 3, ny, nx)
    re = volumes(out["re"], (nx, ny, nz), v)
    im = volumes(out["im"], (nx, ny, nz), v)
    for e, z in enumerate([3, 1, 3]):
        np.testing.assert_array_equal(comb[:, e].real, np.moveaxis(re[z], -1, 0))
        np.testing.assert_array_equal(comb[:, e].imag, np.moveaxis(im[z], -1, 0))
    for key in ("acquired", "coil_images"):
        data = cap[key].reshape(v, 3, 2, ny, nx, 2)
        np.testing.assert_array_equal(data[:, 0], data[:, 2])  # the repeated entry repeats slice 3
        assert not np.array_equal(data[:, 0], data[:, 1])
    # Capturing changes nothing in the images.
    plain = acquire(comp, (nx, ny, nz), acq, seed=3)
    np.testing.assert_array_equal(plain["re"], out["re"])
    assert acquire(comp, (nx, ny, nz), acq, kspace_slices=[])["kspace"] is None
    default = acquire(comp, (nx, ny, nz), acq, kspace_slices=[0])["kspace"]
    assert default["acquired"] is None and default["reconstructed"] is None and default["coil_images"] is None


def test_no_volumes(rng):
    comp = make_comp([np.zeros((2, 4, 6, 0))], (6, 4, 2), 0)
    calls = []
    out = acquire(comp, (6, 4, 2), {"n_coils": 3, "accel": 2, "acs_lines": 0}, kspace_slices=[1],
                  capture=(True, True, False), progress=lambda d, t: calls.append(d))
    assert calls == [] and out["re"].size == 0 and out["mag"].size == 0
    cap = out["kspace"]
    np.testing.assert_array_equal(cap["mask"], core.sampling_mask(6, 4, {"accel": 2, "acs_lines": 0}))
    assert cap["sensitivities"].shape == (3 * 4 * 6,) and cap["sensitivities"].min() >= 0.15
    assert cap["combined"].size == 0 and cap["acquired"].size == 0 and cap["coil_images"] is None


def test_no_compartments_gives_zeros():
    comp = core.Compartments.from_images((4, 4, 1), 2, [], [])
    out = acquire(comp, (4, 4, 1), {"n_spikes": 2})
    for key in ("re", "im", "mag", "phase"):
        assert out[key].dtype == np.float32 and out[key].shape == (32,)
        assert np.all(out[key] == 0)


def test_magnitude_and_phase(rng):
    comp = make_comp([rng.random((1, 8, 8, 2))], (8, 8, 1), 2)
    out = acquire(comp, (8, 8, 1), {"n_coils": 2}, bvals=np.array([0.0, 1000.0]),
                  bvecs=np.array([[0.0, 0, 0], [0, 1, 0]]))
    np.testing.assert_array_equal(out["mag"], np.sqrt(out["re"] ** 2 + out["im"] ** 2))
    np.testing.assert_allclose(out["phase"], np.arctan2(out["im"], out["re"]), atol=1e-6)
    assert np.abs(out["phase"]).max() > 0.1  # the default phase model is not zero


DETERMINISM = """
import hashlib, numpy as np, quorvel._core as core
assert core.set_threads({threads})
calls = []
rng = np.random.default_rng(42)
nx, ny, nz, v = 8, 8, 3, 6
img = rng.random(16 * 16 * nz * v).astype(np.float32)
comp = core.Compartments.from_images((16, 16, nz), v, [img, 0.3 * img], [80.0, 1200.0])
fmap = (30 * rng.standard_normal(16 * 16 * nz)).astype(np.float32)
bvecs = rng.standard_normal((v, 3))
acq = dict(n_coils=3, accel=2, acs_lines=4, noise_variance=1.0, n_spikes=2, ghost_offset=0.02,
           eddy_strength=0.02, eddy_phase=0.001)
out = core.simulate_acquisition(comp, fmap, (nx, ny, nz), np.full(v, 1000.0), bvecs, acq, seed=11,
                                noise_sigma=np.full(nx * ny * nz, 0.2, np.float32), kspace_slices=[2, 0],
                                capture=(True, True, True), progress=lambda d, t: calls.append(d))
assert sorted(calls) == list(range(1, v + 1))
h = hashlib.sha256()
for key in ("re", "im"):
    h.update(out[key].tobytes())
for key in ("combined", "acquired", "reconstructed", "coil_images"):
    h.update(out["kspace"][key].tobytes())
print(h.hexdigest())
"""


def test_results_do_not_depend_on_the_thread_count():
    one = run_isolated(DETERMINISM.format(threads=1))
    every = run_isolated(DETERMINISM.format(threads=0))  # the default: every available CPU
    assert one == every and len(one) == 64


# ---- progress ----


def test_progress_reports_every_volume(rng):
    v = 7
    comp = make_comp([rng.random((1, 4, 4, v))], (4, 4, 1), v)
    calls = []
    acquire(comp, (4, 4, 1), {}, progress=lambda done, total: calls.append((done, total)))
    assert sorted(calls) == [(d, v) for d in range(1, v + 1)]


def test_progress_exception_is_raised_after_the_run(rng):
    v = 6
    comp = make_comp([rng.random((1, 4, 4, v))], (4, 4, 1), v)
    calls = []

    def progress(done, total):
        calls.append(done)
        if len(calls) == 1:
            raise KeyError("stop")
        return "ignored"

    with pytest.raises(KeyError, match="stop"):
        acquire(comp, (4, 4, 1), {}, progress=progress)
    assert sorted(calls) == list(range(1, v + 1))  # the run was not interrupted
    assert comp.ngrad == v  # and the object is unlocked again


def test_first_progress_exception_wins(rng):
    v = 5
    comp = make_comp([rng.random((1, 4, 4, v))], (4, 4, 1), v)
    order = []

    def progress(done, total):
        order.append(done)
        raise ValueError(f"call {len(order)}")

    with pytest.raises(ValueError, match=r"^call 1$"):
        acquire(comp, (4, 4, 1), {}, progress=progress)
    assert len(order) == v


def test_compartments_stay_locked_for_the_whole_run(rng):
    v = 6
    comp = make_comp([rng.random((1, 8, 8, v))], (8, 8, 1), v)
    events = []

    def reader():
        comp.ngrad
        events.append("read")

    thread = threading.Thread(target=reader)

    def progress(done, total):
        if not thread.is_alive() and "started" not in events:
            events.append("started")
            thread.start()
            time.sleep(0.2)  # ample time for the reader, were the object not locked
        events.append("progress")

    acquire(comp, (8, 8, 1), {}, progress=progress)
    thread.join()
    assert events[-1] == "read" and events.count("progress") == v


# ---- argument checks ----


def good_args():
    nx, ny, nz, v = 4, 4, 2, 3
    comp = core.Compartments.from_images((8, 8, nz), v, [np.zeros(64 * nz * v, np.float32)], [80.0])
    return dict(comp=comp, fmap=np.zeros(64 * nz, np.float32), acq_dims=(nx, ny, nz), bvals=np.zeros(v),
                bvecs=np.zeros((v, 3)), acquisition={})


@pytest.mark.parametrize(
    "change, message",
    [
        ({"acquisition": {"t_lines": 1}, "phase_model": "x"}, 'acquisition: unknown field "t_lines"'),
        ({"bvecs": np.zeros((3, 2)), "phase_model": "x"}, "bvecs must have shape (n, 3), got [3, 2]"),
        ({"bvecs": np.zeros((2, 3)), "phase_model": "x"}, "bvecs: expected 3 values, got 2"),
        ({"phase_model": "HBCD", "bvals": np.zeros(2), "bvecs": np.zeros((2, 3))},
         "phase_model: expected 'hbcd' or 'none', got \"HBCD\""),
        ({"bvals": np.zeros(2), "bvecs": np.zeros((2, 3)), "acq_dims": (4, 4, 3)}, "bvals: expected 3 values, got 2"),
        ({"acq_dims": (4, 4, 3), "fmap": np.zeros(1, np.float32)},
         "slice count differs: signal grid [8, 8, 2] vs acquisition grid [4, 4, 3]"),
        ({"acq_dims": (3, 4, 2)}, "signal grid [8, 8, 2] must be an integer multiple of the acquisition grid [3, 4, 2] in-plane"),
        ({"acq_dims": (4, 8, 2)}, "signal grid [8, 8, 2] must be an integer multiple of the acquisition grid [4, 8, 2] in-plane"),
        ({"acq_dims": (0, 4, 2)}, "signal grid [8, 8, 2] must be an integer multiple of the acquisition grid [0, 4, 2] in-plane"),
        ({"fmap": np.zeros(5, np.float32), "noise_sigma": np.zeros(1, np.float32)},
         "fieldmap (signal grid): expected 128 values, got 5"),
        ({"noise_sigma": np.zeros(5, np.float32), "te_per_volume": [1.0]},
         "noise_sigma (acquisition grid): expected 32 values, got 5"),
        ({"te_per_volume": [1.0], "slice_z": [0]}, "te_per_volume: expected 3 values, got 1"),
        ({"slice_z": [0]}, "slice_z: expected 2 values, got 1"),
        ({"slice_z": [0, 1], "kspace_slices": [5]}, "slice_z requires nz_full"),
        ({"slice_z": [0, 4], "nz_full": 4, "kspace_slices": [5]}, "slice_z entry 4 >= nz_full 4"),
        ({"kspace_slices": [1, 2, 3]}, "kspace_slices entry 2 out of range for 2 slices"),
        ({"fmap": np.zeros(256, np.float32)[::2]}, "The given array is not contiguous or is misaligned."),
        # Sizes whose product would wrap around are refused before anything is allocated.
        ({"acquisition": {"n_coils": 2**62}}, "n_coils 4611686018427387904 is too large for a 4 x 4 matrix"),
        ({"acquisition": {"n_coils": 2**40}, "kspace_slices": [0] * 2**16},
         "kspace_slices: capture of 65536 slices is too large"),
    ],
)
def test_value_errors_in_order(change, message):
    args = good_args()
    args.update(change)
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        core.simulate_acquisition(**args)
    assert args["comp"].dims == (8, 8, 2)  # unlocked and unchanged


@pytest.mark.parametrize(
    "change, exc, name",
    [
        ({"comp": "not an object"}, TypeError, "comp"),
        ({"fmap": np.zeros(128), "comp": 1}, TypeError, "comp"),
        ({"fmap": np.zeros(128)}, TypeError, "fmap"),
        ({"acq_dims": [4, 4, 2]}, TypeError, "acq_dims"),
        ({"acquisition": [], "seed": -1}, TypeError, "acquisition"),
        ({"seed": -1}, OverflowError, "seed"),
        ({"slice_z": [-1]}, OverflowError, "slice_z"),
        ({"kspace_slices": "0"}, TypeError, "kspace_slices"),
        ({"capture": [True, False, False]}, TypeError, "capture"),
        ({"capture": (1, 0, 0)}, TypeError, "capture"),
        ({"progress": 3}, TypeError, "progress"),
    ],
)
def test_type_errors_name_the_argument(change, exc, name):
    args = good_args()
    args.update(change)
    with pytest.raises(exc) as info:
        core.simulate_acquisition(**args)
    assert f"while processing '{name}'" in getattr(info.value, "__notes__", [])


def test_defaults_and_positional_arguments(rng):
    comp = make_comp([rng.random((2, 4, 4, 2))], (4, 4, 2), 2)
    fmap = np.zeros(32, np.float32)
    bvals, bvecs = np.array([0.0, 1000.0]), np.array([[0.0, 0, 0], [1, 0, 0]])
    a = core.simulate_acquisition(comp, fmap, (4, 4, 2), bvals, bvecs, {})
    b = core.simulate_acquisition(comp, fmap, (4, 4, 2), bvals, bvecs, {}, "hbcd", 0, None, None, None, None,
                                  None, (False, False, False), None)
    assert list(a) == ["re", "im", "mag", "phase", "kspace"]
    for key in ("re", "im"):
        np.testing.assert_array_equal(a[key], b[key])
    assert a["kspace"] is None
