"""GRE field-map synthesis: echoes, resampling, receive maps, noise, phase codes, checks."""
import math
import re

import numpy as np
import pytest

import quorvel._core as core

TWO_PI = 6.283185307179586
GOLDEN = 0x9E3779B97F4A7C15
M64 = (1 << 64) - 1
SALT = 0x6E7EF1E1D0000000
DEFAULT_T1 = (830.0, 1330.0, 4000.0)
DEFAULT_PD = (0.7, 0.85, 1.0)
KEYS = ["dims", "affine", "magnitude1", "magnitude2", "phase", "te_s", "tr_s", "flip_deg", "output",
        "b0_field", "sigma", "stamped"]


# ---------------------------------------------------------------- slow reference

def f32(v):
    return float(np.float32(v))


def mix(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return z ^ (z >> 31)


def steady_state(flip_deg, tr_s, t1_ms):
    a = flip_deg * 0.017453292519943295
    e1 = [math.exp(-1000.0 * tr_s / f32(t)) for t in t1_ms]
    return [math.sin(a) * (1.0 - e) / (1.0 - math.cos(a) * e) for e in e1]


def bias_ref(dims, z_offset, nz_total, bias):
    nx, ny, nz = dims
    z, y, x = np.meshgrid(np.arange(nz) + z_offset, np.arange(ny), np.arange(nx), indexing="ij")
    terms = []
    for p, e in ((x, nx), (y, ny), (z, nz_total)):
        if e > 1:
            h = (e - 1) / 2
            terms.append(((p - h) / h) ** 2)
    mean = sum(terms) / len(terms) if terms else np.zeros(x.shape)
    return ((1 - bias) + 2 * bias * mean).ravel()


def rx_ref(dims, amp):
    def u(n):
        return 2.0 * np.arange(n) / (max(n, 2) - 1) - 1.0

    z, y, x = np.meshgrid(u(dims[2]), u(dims[1]), u(dims[0]), indexing="ij")
    poly = x + 0.7 * y + 0.4 * z + 0.6 * x * y + 0.5 * (x * x - 0.5) + 0.4 * (y * y - 0.5) + 0.3 * y * z
    return (amp * poly).astype(np.float32).ravel()


def truncate_ref(line, f):
    """Keeps the lowest n // f DFT modes (negative Nyquist for even counts) and samples the band
    limited line at the centres of the coarse voxels."""
    n = len(line)
    m = n // f
    c = np.fft.fft(line)
    p = f * (np.arange(m) + 0.5) - 0.5
    ks = np.arange(-(m // 2), (m + 1) // 2)
    return np.real(np.exp(2j * np.pi * np.outer(p, ks) / n) @ c[ks % n]) / n


def reduce_ref(vol, dims, f, spectral):
    nx, ny, nz = dims
    if f < 2:
        return vol.astype(np.float64)
    mx, my = nx // f, ny // f
    v = vol.astype(np.float64).reshape(nz, ny, nx)
    if not spectral:
        return v[:, : my * f, : mx * f].reshape(nz, my, f, mx, f).mean(axis=(2, 4)).ravel()
    out = np.zeros((nz, my, mx))
    for z in range(nz):
        rows = np.array([truncate_ref(v[z, y], f) for y in range(ny)])
        out[z] = np.array([truncate_ref(rows[:, x], f) for x in range(mx)]).T
    return out.ravel()


def target_ref(affine, dims, res):
    a = np.asarray(affine, dtype=np.float64).reshape(4, 4)
    lens = np.linalg.norm(a[:3, :3], axis=0)
    tdims = tuple(max(int(math.floor(n * l / res + 0.5)), 1) for n, l in zip(dims, lens))
    t = np.eye(4)
    t[:3, :3] = a[:3, :3] / lens * res
    t[:3, 3] = a[:3, 3] - 0.5 * a[:3, :3].sum(axis=1) + 0.5 * t[:3, :3].sum(axis=1)
    return t, tdims


def code_ref(phi):
    c = math.floor((phi + math.pi) / TWO_PI * 4096.0 + 0.5)
    return min(max(c, 0), 4095)


def synthesize_ref(sig_dims, sig_affine, acq_dims, acq_affine, fiber, gm, csf, s0, t2, fmap, scale, seed,
                   te_s=(0.00492, 0.00738), snr=50.0, res_mm=None, snr_vol_exp=1.0, output="phasediff",
                   rx_phase_rad=6.0, tr_s=0.5, flip_deg=60.0, t1_ms=DEFAULT_T1, pd=DEFAULT_PD, bias=0.3,
                   ringing=True, t2_head_ms=70.0, head=None, z_offset=0, nz_full=None, warp=None,
                   warp_modulate=True):
    nx, ny, nz = sig_dims
    nz_full = nz if nz_full is None else nz_full
    f = max(nx // max(acq_dims[0], 1), 1)
    ss = steady_state(flip_deg, tr_s, t1_ms)
    amp = [f32(pd[c]) * f32(s0[c]) * ss[c] for c in range(3)]
    gain = bias_ref(sig_dims, z_offset, max(nz_full, nz), bias)
    mags = []
    for te in te_s:
        d = [math.exp(-1000.0 * te / f32(t)) for t in t2]
        s = fiber * amp[0] * d[0] + gm * amp[1] * d[1] + csf * amp[2] * d[2]
        if head is not None:
            s = s + head * amp[0] * math.exp(-1000.0 * te / f32(t2_head_ms))
        m = (s * scale * gain).astype(np.float32)
        if warp is not None:
            m = warp.warp_volume(m, warp_modulate)
        mags.append(m.astype(np.float64))
    rx = rx_ref(sig_dims, rx_phase_rad).astype(np.float64) if output == "phase" else np.zeros(nx * ny * nz)
    fm = fmap.astype(np.float64)
    out_affine = np.asarray(acq_affine, dtype=np.float64)
    if res_mm is not None:
        out_affine, tdims = target_ref(sig_affine, sig_dims, res_mm)
        lens = np.linalg.norm(np.asarray(sig_affine)[:3, :3], axis=0)
        tn = tdims[0] * tdims[1] * tdims[2]
        acc = np.zeros((2, tn), dtype=np.complex128)
        count = np.zeros(tn)
        v = 0
        for z in range(nz):
            for y in range(ny):
                for x in range(nx):
                    t = [min(max(math.floor((i + 0.5) * (l / res_mm) - 0.5 + 0.5), 0), n - 1)
                         for i, l, n in zip((x, y, z), lens, tdims)]
                    ti = t[0] + tdims[0] * (t[1] + tdims[1] * t[2])
                    for e in range(2):
                        acc[e, ti] += mags[e][v] * np.exp(1j * (rx[v] + TWO_PI * fm[v] * te_s[e]))
                    count[ti] += 1
                    v += 1
        with np.errstate(invalid="ignore", divide="ignore"):
            echo = [(np.where(count > 0, a.real / count, 0), np.where(count > 0, a.imag / count, 0)) for a in acc]
    elif output == "phase":
        echo = []
        for e in range(2):
            z = mags[e] * np.exp(1j * (rx + fm * TWO_PI * te_s[e]))
            spectral = f >= 2 and ringing
            re_ = reduce_ref(z.real.astype(np.float32), sig_dims, f, spectral)
            im_ = reduce_ref(z.imag.astype(np.float32), sig_dims, f, spectral)
            echo.append((re_, im_))
    else:
        spectral = f >= 2 and ringing
        m1 = reduce_ref(mags[0].astype(np.float32), sig_dims, f, spectral)
        m2 = reduce_ref(mags[1].astype(np.float32), sig_dims, f, spectral)
        fmr = reduce_ref(fmap, sig_dims, f, False)
        dphi = TWO_PI * fmr * (te_s[1] - te_s[0])
        echo = [(m1, np.zeros_like(m1)), (m2 * np.cos(dphi), m2 * np.sin(dphi))]

    sigma = 0.0
    if snr > 0:
        ref = max(0.0, *(f32(pd[c]) * ss[c] for c in range(3)))
        vol = abs(np.linalg.det(np.asarray(acq_affine)[:3, :3]) / np.linalg.det(out_affine[:3, :3]))
        sigma = scale * ref / snr * vol ** snr_vol_exp
    state0 = ((seed * GOLDEN) & M64) ^ SALT
    n = len(echo[0][0])
    mag = np.zeros((2, n))
    phase = [np.zeros(n, int) for _ in range(2 if output == "phase" else 1)]
    for v in range(n):
        u = [((mix((state0 + (8 * v + k) * GOLDEN) & M64) >> 11) + 0.5) * 2.0 ** -53 for k in range(1, 9)]
        g = [math.sqrt(-2.0 * math.log(u[2 * j])) * math.cos(TWO_PI * u[2 * j + 1]) for j in range(4)]
        re1, im1 = float(echo[0][0][v]) + sigma * g[0], float(echo[0][1][v]) + sigma * g[1]
        re2, im2 = float(echo[1][0][v]) + sigma * g[2], float(echo[1][1][v]) + sigma * g[3]
        mag[:, v] = math.hypot(re1, im1), math.hypot(re2, im2)
        # An exactly zero echo or product has angle 0, whatever the signs of its zero parts.
        if output == "phase":
            phase[0][v] = code_ref(math.atan2(im1 + 0.0, re1 + 0.0))
            phase[1][v] = code_ref(math.atan2(im2 + 0.0, re2 + 0.0))
        else:
            phase[0][v] = code_ref(math.atan2(re1 * im2 - im1 * re2 + 0.0, re1 * re2 + im1 * im2 + 0.0))
    return {"magnitude1": mag[0], "magnitude2": mag[1], "phase": phase, "sigma": sigma,
            "affine": out_affine.ravel()}


# ---------------------------------------------------------------- fixtures

def oblique_affine(vox, shift=(-10.0, -12.0, 5.0), angle=0.2):
    c, s = math.cos(angle), math.sin(angle)
    a = np.eye(4)
    a[:3, :3] = np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]]) @ np.diag(vox)
    a[:3, 3] = shift
    return a


def acq_of(sig_affine, f):
    """The acquisition grid that is the signal grid reduced by f in-plane."""
    a = np.array(sig_affine, dtype=np.float64)
    k = 0.5 * (f - 1)
    a[:3, 3] += k * (a[:3, 0] + a[:3, 1])
    a[:3, :2] *= f
    return a


def scene(rng, dims=(8, 8, 3), f=2, vox=(1.5, 1.5, 2.0)):
    n = dims[0] * dims[1] * dims[2]
    frac = rng.dirichlet([1.0, 1.0, 1.0, 0.5], size=n).astype(np.float32)
    sig_affine = oblique_affine(vox)
    acq_dims = (dims[0] // f, dims[1] // f, dims[2])
    return dict(sig_dims=dims, sig_affine=sig_affine, acq_dims=acq_dims, acq_affine=acq_of(sig_affine, f),
                fiber=np.ascontiguousarray(frac[:, 0]), gm=np.ascontiguousarray(frac[:, 1]),
                csf=np.ascontiguousarray(frac[:, 2]), s0=(1.0, 0.9, 1.1), t2=[45.0, 55.0, 300.0],
                fmap=rng.normal(0.0, 60.0, n).astype(np.float32), signal_scale=1000.0, seed=7)


def args_of(s):
    keys = ["sig_dims", "sig_affine", "acq_dims", "acq_affine", "fiber", "gm", "csf", "s0", "t2", "fmap",
            "signal_scale", "seed"]
    return [s[k] for k in keys]


def uniform_scene(dims, fmap_hz=0.0, vox=(1.0, 1.0, 1.0), f=1):
    n = dims[0] * dims[1] * dims[2]
    a = np.diag([*vox, 1.0])
    acq_dims = (max(dims[0] // f, 1), max(dims[1] // f, 1), dims[2])
    return dict(sig_dims=dims, sig_affine=a, acq_dims=acq_dims, acq_affine=acq_of(a, f),
                fiber=np.ones(n, np.float32), gm=np.zeros(n, np.float32), csf=np.zeros(n, np.float32),
                s0=(1.0, 1.0, 1.0), t2=[50.0, 60.0, 200.0], fmap=np.full(n, fmap_hz, np.float32),
                signal_scale=100.0, seed=3)


def assert_matches(got, want, mag_rtol=1e-5):
    # Magnitudes: float32 storage (2^-24) and the reference's FFT and float64 box means stay well
    # inside 1e-5 relative to the image scale.
    scale = max(np.max(want["magnitude1"]), 1e-30)
    for k in ("magnitude1", "magnitude2"):
        np.testing.assert_allclose(got[k], want[k], rtol=0, atol=mag_rtol * scale)
    assert got["sigma"] == pytest.approx(want["sigma"], rel=1e-12)
    np.testing.assert_allclose(got["affine"], want["affine"], atol=1e-12)
    assert len(got["phase"]) == len(want["phase"])
    for g, w in zip(got["phase"], want["phase"]):
        assert g.dtype == np.int16
        diff = np.abs(g.astype(int) - w)
        diff = np.minimum(diff, 4096 - diff)
        if got["stamped"]:
            diff = diff[1:-1]
        # A code can flip at a rounding boundary under last-bit differences; never by more than one.
        assert diff.max(initial=0) <= 1
        assert np.mean(diff == 0) > 0.95


# ---------------------------------------------------------------- results

def test_defaults_and_result_layout(rng):
    s = scene(rng)
    r = core.gre_synthesize(*args_of(s))
    assert list(r) == KEYS
    assert r["dims"] == s["acq_dims"]
    assert r["affine"].dtype == np.float64 and r["affine"].shape == (16,)
    np.testing.assert_array_equal(r["affine"], s["acq_affine"].ravel())
    assert r["te_s"] == (0.00492, 0.00738)
    assert (r["tr_s"], r["flip_deg"]) == (0.5, 60.0)
    assert (r["output"], r["b0_field"]) == ("phasediff", "b0gre")
    assert isinstance(r["phase"], list) and len(r["phase"]) == 1
    assert r["phase"][0].dtype == np.int16 and r["phase"][0].shape == (4 * 4 * 3,)
    for k in ("magnitude1", "magnitude2"):
        assert r[k].dtype == np.float32 and r[k].shape == (48,)
    # The defaults T1 (830, 1330, 4000) ms and PD (0.7, 0.85, 1.0) decide the noise level.
    ss = steady_state(60.0, 0.5, DEFAULT_T1)
    assert r["sigma"] == pytest.approx(1000.0 * max(p * x for p, x in zip(DEFAULT_PD, ss)) / 50.0, rel=1e-7)
    explicit = core.gre_synthesize(*args_of(s), te_s=(0.00492, 0.00738), t1_ms=DEFAULT_T1, pd=DEFAULT_PD,
                                   output="phasediff", b0_field="b0gre", ringing=True, bias=0.3)
    for k in ("magnitude1", "magnitude2"):
        np.testing.assert_array_equal(explicit[k], r[k])
    np.testing.assert_array_equal(explicit["phase"][0], r["phase"][0])


@pytest.mark.parametrize("output", ["phasediff", "phase"])
@pytest.mark.parametrize("ringing", [True, False])
@pytest.mark.parametrize("res_mm", [None, 2.5])
def test_matches_reference(rng, output, ringing, res_mm):
    s = scene(rng)
    head = rng.uniform(0.0, 0.3, 8 * 8 * 3).astype(np.float32)
    opts = dict(output=output, ringing=ringing, res_mm=res_mm, snr=20.0, head=head, bias=0.25,
                rx_phase_rad=2.0, snr_vol_exp=1.5, te_s=(0.004, 0.0065), flip_deg=35.0, tr_s=0.3,
                t1_ms=(900.0, 1400.0, 3500.0), pd=(0.6, 0.8, 0.95), t2_head_ms=40.0, z_offset=2, nz_full=9)
    got = core.gre_synthesize(*args_of(s), **opts)
    want = synthesize_ref(*args_of(s), **opts)
    assert_matches(got, want)
    if res_mm is not None:
        assert got["dims"] == target_ref(s["sig_affine"], s["sig_dims"], res_mm)[1]


def test_deterministic_and_seeded(rng):
    s = scene(rng)
    a = core.gre_synthesize(*args_of(s))
    b = core.gre_synthesize(*args_of(s))
    s["seed"] = 2**64 - 1
    c = core.gre_synthesize(*args_of(s))
    np.testing.assert_array_equal(a["magnitude1"], b["magnitude1"])
    np.testing.assert_array_equal(a["phase"][0], b["phase"][0])
    assert not np.array_equal(a["magnitude1"], c["magnitude1"])
    assert_matches(c, synthesize_ref(*args_of(s)))


@pytest.mark.parametrize("snr", [0.0, -5.0, float("nan")])
def test_no_noise_when_snr_not_positive(rng, snr):
    s = scene(rng)
    r = core.gre_synthesize(*args_of(s), snr=snr)
    assert r["sigma"] == 0.0
    want = synthesize_ref(*args_of(s), snr=0.0)
    assert_matches(r, want)


def test_uniform_fieldmap_is_stamped():
    s = uniform_scene((4, 4, 2), fmap_hz=40.0)
    r = core.gre_synthesize(*args_of(s), snr=0.0)
    code = code_ref(TWO_PI * 40.0 * (0.00738 - 0.00492))
    ph = r["phase"][0]
    assert r["stamped"] is True
    assert (ph[0], ph[-1]) == (0, 4095)
    assert np.all(ph[1:-1] == code)


@pytest.mark.parametrize("low, high, stamped", [
    (-499.99, 499.99, False),  # differences of -pi + tiny and pi - tiny already give codes 0 and 4095
    (-499.99, 100.0, True),    # code 0 present, 4095 missing
    (-100.0, 499.99, True),    # 4095 present, 0 missing
])
def test_stamp_only_when_a_range_end_is_missing(low, high, stamped):
    s = uniform_scene((4, 1, 1))
    s["fiber"] = np.array([0, 1, 1, 1], np.float32)
    s["fmap"] = np.array([50.0, low, high, 10.0], np.float32)
    r = core.gre_synthesize(*args_of(s), snr=0.0, te_s=(0.004, 0.005), bias=0.0)
    ph = r["phase"][0]
    assert r["stamped"] is stamped
    # Both echoes are exactly 0 in voxel 0: the difference has angle 0, code 2048, unless stamped.
    assert (ph[0], ph[3]) == ((0, 4095) if stamped else (2048, code_ref(TWO_PI * 10.0 * 0.001)))
    assert (ph[1], ph[2]) == (code_ref(TWO_PI * low * 0.001), code_ref(TWO_PI * high * 0.001))


def normals(seed, v):
    state0 = ((seed * GOLDEN) & M64) ^ SALT
    u = [((mix((state0 + (8 * v + k) * GOLDEN) & M64) >> 11) + 0.5) * 2.0 ** -53 for k in range(1, 9)]
    return [math.sqrt(-2.0 * math.log(u[2 * j])) * math.cos(TWO_PI * u[2 * j + 1]) for j in range(4)]


def test_zero_echo_has_angle_zero_whatever_its_zero_signs():
    # Echo 1 of voxel 0 is 0 * (cos, sin) of a third-quadrant phase, i.e. (-0, -0); with a seed whose
    # first two normals are negative, sigma = 0 adds (-0, -0) and the signs survive. Its code is
    # still that of angle 0.
    seed = next(k for k in range(1000) if all(g < 0 for g in normals(k, 0)[:2]))
    s = uniform_scene((2, 1, 1))
    s["fiber"] = np.array([0, 1], np.float32)
    s["fmap"][:] = 150.0  # 2 pi * 150 Hz * 4 ms = 1.2 pi
    s["seed"] = seed
    r = core.gre_synthesize(*args_of(s), snr=0.0, output="phase", rx_phase_rad=0.0, te_s=(0.004, 0.0055))
    assert [p[0] for p in r["phase"]] == [2048, 2048]
    assert r["phase"][0][1] == code_ref(TWO_PI * 150 * 0.004 - TWO_PI)


def test_single_voxel_never_stamped():
    s = uniform_scene((1, 1, 1), fmap_hz=30.0)
    r = core.gre_synthesize(*args_of(s), snr=0.0)
    assert r["stamped"] is False
    assert r["phase"][0][0] == code_ref(TWO_PI * 30.0 * (0.00738 - 0.00492))


def test_phase_output_never_stamped_and_carries_rx_phase():
    # On one voxel the receive phase is -0.75 times its amplitude.
    s = uniform_scene((1, 1, 1))
    r = core.gre_synthesize(*args_of(s), snr=0.0, output="phase", rx_phase_rad=2.0)
    assert r["stamped"] is False and r["output"] == "phase"
    assert [p[0] for p in r["phase"]] == [code_ref(-1.5), code_ref(-1.5)]
    s["fmap"][:] = 25.0
    r = core.gre_synthesize(*args_of(s), snr=0.0, output="phase", rx_phase_rad=0.0, te_s=(0.004, 0.008))
    assert [p[0] for p in r["phase"]] == [code_ref(TWO_PI * 25 * 0.004), code_ref(TWO_PI * 25 * 0.008)]


def test_magnitude_values_and_bias_map():
    s = uniform_scene((3, 3, 3))
    te = (0.005, 0.01)
    ss = steady_state(60.0, 0.5, DEFAULT_T1)
    for bias, centre, corner in ((0.3, 0.7, 1.3), (0.0, 1.0, 1.0)):
        r = core.gre_synthesize(*args_of(s), snr=0.0, te_s=te, bias=bias)
        for e, key in enumerate(("magnitude1", "magnitude2")):
            base = 0.7 * ss[0] * math.exp(-1000 * te[e] / 50.0) * 100.0
            m = r[key].reshape(3, 3, 3)
            assert m[1, 1, 1] == pytest.approx(base * centre, rel=1e-6)
            for idx in [(0, 0, 0), (2, 2, 2), (0, 2, 0), (2, 0, 2)]:
                assert m[idx] == pytest.approx(base * corner, rel=1e-6)


def test_bias_of_a_slab_follows_the_full_volume():
    full = uniform_scene((4, 4, 10))
    slab = uniform_scene((4, 4, 2))
    a = core.gre_synthesize(*args_of(full), snr=0.0)
    b = core.gre_synthesize(*args_of(slab), snr=0.0, z_offset=4, nz_full=10)
    np.testing.assert_array_equal(b["magnitude1"], a["magnitude1"][4 * 16:6 * 16])
    # Without nz_full the slab is its own full volume.
    c = core.gre_synthesize(*args_of(slab), snr=0.0)
    assert not np.allclose(c["magnitude1"], b["magnitude1"])


def test_small_signal_grid_is_not_reduced():
    # sig_nx < acq_nx gives f = 1: images keep the signal size, "dims" is the acquisition grid.
    s = uniform_scene((3, 4, 2))
    s["acq_dims"] = (6, 8, 2)
    r = core.gre_synthesize(*args_of(s), snr=0.0)
    assert r["dims"] == (6, 8, 2)
    assert r["magnitude1"].shape == (24,)


def step_scene():
    s = uniform_scene((16, 4, 1), f=2)
    s["fiber"] = np.tile(np.where(np.arange(16) < 7, 1.0, 0.0), 4).astype(np.float32)
    return s


def test_ringing_on_and_off():
    s = step_scene()
    box = core.gre_synthesize(*args_of(s), snr=0.0, bias=0.0, ringing=False)
    ring = core.gre_synthesize(*args_of(s), snr=0.0, bias=0.0, ringing=True)
    m = s["fiber"] * 0.7 * steady_state(60.0, 0.5, DEFAULT_T1)[0] * math.exp(-1000 * 0.00492 / 50.0) * 100.0
    np.testing.assert_allclose(box["magnitude1"], reduce_ref(m, (16, 4, 1), 2, False), rtol=1e-6)
    np.testing.assert_allclose(ring["magnitude1"], np.abs(reduce_ref(m, (16, 4, 1), 2, True)),
                               atol=1e-5 * m.max())
    # Gibbs overshoot beyond the plateau, and ripple in the empty half, only with ringing.
    assert ring["magnitude1"].max() > 1.02 * m.max()
    assert box["magnitude1"].max() <= m.max() * (1 + 1e-6)
    assert np.count_nonzero(box["magnitude1"]) == 4 * 2
    assert np.count_nonzero(ring["magnitude1"]) > 4 * 2


def test_fieldmap_is_box_averaged_even_with_ringing():
    s = uniform_scene((8, 2, 1), f=2)
    s["fmap"] = np.tile([0, 100, 0, 100, 0, 0, 100, 100], 2).astype(np.float32)
    r = core.gre_synthesize(*args_of(s), snr=0.0, bias=0.0, ringing=True, te_s=(0.004, 0.005))
    fm = reduce_ref(s["fmap"], (8, 2, 1), 2, False)
    want = [code_ref(TWO_PI * x * 0.001) for x in fm]
    np.testing.assert_array_equal(r["phase"][0][1:-1], want[1:-1])


def test_res_mm_empty_target_voxels_and_noise_level():
    # 2 mm signal voxels onto 1 mm: each signal voxel lands on an odd target index.
    s = uniform_scene((4, 4, 2), vox=(2.0, 2.0, 2.0))
    s["acq_dims"], s["acq_affine"] = (2, 2, 2), acq_of(s["sig_affine"], 2)
    r = core.gre_synthesize(*args_of(s), snr=0.0, res_mm=1.0)
    assert r["dims"] == (8, 8, 4)
    m = r["magnitude1"].reshape(4, 8, 8)
    assert np.all(m[1::2, 1::2, 1::2] > 0)
    filled = np.zeros((4, 8, 8), bool)
    filled[1::2, 1::2, 1::2] = True
    assert np.all(m[~filled] == 0)
    # Noise follows the ratio of acquisition to output voxel volumes, to the power snr_vol_exp.
    noisy = core.gre_synthesize(*args_of(s), snr=10.0, res_mm=1.0, snr_vol_exp=0.5)
    base = 100.0 * max(p * x for p, x in zip(DEFAULT_PD, steady_state(60.0, 0.5, DEFAULT_T1))) / 10.0
    assert noisy["sigma"] == pytest.approx(base * (32.0 / 1.0) ** 0.5, rel=1e-7)
    assert np.all(noisy["magnitude1"].reshape(4, 8, 8)[~filled] > 0)


def test_res_mm_ignores_ringing_and_keeps_the_corner(rng):
    s = scene(rng)
    a = core.gre_synthesize(*args_of(s), res_mm=3.0, ringing=True)
    b = core.gre_synthesize(*args_of(s), res_mm=3.0, ringing=False)
    np.testing.assert_array_equal(a["magnitude1"], b["magnitude1"])
    np.testing.assert_array_equal(a["phase"][0], b["phase"][0])
    # The outer corner of the first voxel is the same world point in both grids.
    sa, ta = s["sig_affine"], a["affine"].reshape(4, 4)
    np.testing.assert_allclose(sa @ [-0.5, -0.5, -0.5, 1], ta @ [-0.5, -0.5, -0.5, 1], atol=1e-12)
    np.testing.assert_allclose(np.linalg.norm(ta[:3, :3], axis=0), 3.0)


def gnl_field(dims, affine):
    coef = core.GradCoef.from_spec("connectom-300")
    return core.GnlField.on_grid(coef, dims, affine)


@pytest.mark.parametrize("modulate", [True, False])
def test_warp_distorts_the_magnitudes_only(rng, modulate):
    s = scene(rng, dims=(8, 8, 3), f=1)
    s["sig_affine"][:3, 3] = (60.0, 80.0, 90.0)  # far from the isocentre, where the field bends
    s["acq_affine"] = s["sig_affine"]
    field = gnl_field(s["sig_dims"], s["sig_affine"])
    plain = core.gre_synthesize(*args_of(s), snr=0.0)
    warped = core.gre_synthesize(*args_of(s), snr=0.0, warp=field, warp_modulate=modulate)
    want = synthesize_ref(*args_of(s), snr=0.0, warp=field, warp_modulate=modulate)
    assert_matches(warped, want)
    assert not np.allclose(warped["magnitude1"], plain["magnitude1"])
    # The field map is not warped: where both echoes survive, the phase difference is unchanged.
    keep = (warped["magnitude1"] > 0) & (plain["magnitude1"] > 0)
    np.testing.assert_array_equal(warped["phase"][0][keep][1:-1], plain["phase"][0][keep][1:-1])


# ---------------------------------------------------------------- checks

def test_value_errors_in_check_order(rng):
    s = scene(rng)
    n = 8 * 8 * 3
    bad = np.zeros((3, 4))
    strided = np.zeros(2 * n, np.float32)[::2]
    short = np.zeros(n - 1, np.float32)

    def expect(msg, **over):
        args = {**s, **over}
        kw = {k: args.pop(k) for k in list(args) if k not in s}
        with pytest.raises(ValueError, match="^" + re.escape(msg) + "$"):
            core.gre_synthesize(*args_of(args), **kw)

    expect("affine must be (4, 4), got [3, 4]", sig_affine=bad, acq_affine=np.zeros((2, 2)), fiber=short)
    expect("affine must be (4, 4), got [2, 2]", acq_affine=np.zeros((2, 2)), fiber=strided)
    expect("The given array is not contiguous or is misaligned.", fiber=strided, gm=short)
    expect("The given array is not contiguous or is misaligned.", fmap=strided, fiber=short)
    expect(f"fiber fraction: expected {n} values, got {n - 1}", fiber=short, gm=short)
    expect(f"gm fraction: expected {n} values, got {n - 1}", gm=short, csf=short)
    expect(f"csf fraction: expected {n} values, got {n - 1}", csf=short, fmap=short)
    expect(f"fieldmap: expected {n} values, got {n - 1}", fmap=short, t2=[1.0])
    expect("t2: expected 3 values, got 4", t2=[1.0, 2.0, 3.0, 4.0], head=short)
    expect("The given array is not contiguous or is misaligned.", head=strided, output="x")
    expect(f"head: expected {n} values, got {n - 1}", head=short, output="x")
    expect('output: expected \'phasediff\' or \'phase\', got "Phase"', output="Phase", res_mm=-1.0)
    expect('output: expected \'phasediff\' or \'phase\', got "phase diff\\"x\\""', output='phase diff"x"')
    expect("res_mm: expected a positive finite number, got 0", res_mm=0.0)
    expect("res_mm: expected a positive finite number, got -1.5", res_mm=-1.5)
    expect("res_mm: expected a positive finite number, got inf", res_mm=float("inf"))
    expect("res_mm: expected a positive finite number, got nan", res_mm=float("nan"))
    expect("res_mm 0.001 gives an output grid of 12000 x 12000 x 6000 voxels, more than 268435456",
           res_mm=0.001)
    flat = s["sig_affine"].copy()
    flat[:3, 1] = 0.0
    expect("sig_affine: voxel axis 1 has length 0, cannot resample to res_mm", sig_affine=flat, res_mm=2.0)


def test_degenerate_acquisition_affine_keeps_noise_finite(rng):
    # Without res_mm the volume ratio is 1 even when the acquisition affine is singular.
    s = scene(rng)
    s["acq_affine"] = np.zeros((4, 4))
    r = core.gre_synthesize(*args_of(s))
    ss = steady_state(60.0, 0.5, DEFAULT_T1)
    assert r["sigma"] == pytest.approx(1000.0 * max(p * x for p, x in zip(DEFAULT_PD, ss)) / 50.0, rel=1e-7)
    assert np.all(np.isfinite(r["magnitude1"]))


def test_voxel_count_overflow_is_refused():
    s = uniform_scene((1, 1, 1))
    s["sig_dims"] = (2**32, 2**32, 1)
    with pytest.raises(ValueError, match=re.escape("sig_dims [4294967296, 4294967296, 1]: voxel count overflows")):
        core.gre_synthesize(*args_of(s))


def test_warp_grid_mismatch(rng):
    s = scene(rng, dims=(8, 8, 3))
    # Same voxel count, other dims: refused on the dims, after the output check.
    field = gnl_field((8, 3, 8), s["sig_affine"])
    msg = "GNL field grid [8, 3, 8] != signal grid [8, 8, 3]"
    with pytest.raises(ValueError, match=re.escape(msg)):
        core.gre_synthesize(*args_of(s), warp=field, res_mm=-1.0)
    with pytest.raises(ValueError, match="^output: "):
        core.gre_synthesize(*args_of(s), warp=field, output="PHASE")


@pytest.mark.parametrize("name, value, exc", [
    ("sig_dims", [8, 8, 3], TypeError),
    ("acq_dims", (4, 4), TypeError),
    ("fiber", np.zeros(192), TypeError),
    ("s0", [1.0, 1.0, 1.0], TypeError),
    ("t2", "abc", TypeError),
    ("seed", -1, OverflowError),
    ("te_s", None, TypeError),
    ("output", None, TypeError),
    ("ringing", 1, TypeError),
    ("z_offset", -1, OverflowError),
    ("warp", "field", TypeError),
    ("head", np.zeros(192, np.float64), TypeError),
])
def test_type_errors_name_the_argument(rng, name, value, exc):
    s = scene(rng)
    args = dict(zip(["sig_dims", "sig_affine", "acq_dims", "acq_affine", "fiber", "gm", "csf", "s0", "t2",
                     "fmap", "signal_scale", "seed"], args_of(s)))
    args[name] = value
    with pytest.raises(exc) as info:
        core.gre_synthesize(**args)
    assert f"while processing '{name}'" in getattr(info.value, "__notes__", [])


def test_none_means_default_for_optional_maps(rng):
    s = scene(rng)
    a = core.gre_synthesize(*args_of(s), res_mm=None, head=None, nz_full=None, warp=None)
    b = core.gre_synthesize(*args_of(s))
    np.testing.assert_array_equal(a["magnitude1"], b["magnitude1"])


def test_signature_and_docstring():
    import inspect

    params = inspect.signature(core.gre_synthesize).parameters
    assert len(params) == 31
    assert list(params)[:12] == ["sig_dims", "sig_affine", "acq_dims", "acq_affine", "fiber", "gm", "csf", "s0",
                                 "t2", "fmap", "signal_scale", "seed"]
    assert all(p.default is inspect.Parameter.empty for p in list(params.values())[:12])
    defaults = {k: p.default for k, p in params.items() if p.default is not inspect.Parameter.empty}
    assert defaults == {"te_s": ..., "snr": 50.0, "res_mm": None, "snr_vol_exp": 1.0, "output": "phasediff",
                        "rx_phase_rad": 6.0, "b0_field": "b0gre", "tr_s": 0.5, "flip_deg": 60.0, "t1_ms": ...,
                        "pd": ..., "bias": 0.3, "ringing": True, "t2_head_ms": 70.0, "head": None, "z_offset": 0,
                        "nz_full": None, "warp": None, "warp_modulate": True}
    assert core.gre_synthesize.__doc__.strip() == (
        "Synthesize the dual-echo GRE fieldmap (`gre::synthesize`). Fractions are on the signal grid.")


def test_concurrent_calls_agree(rng):
    # The lock is released during the work; calls from several threads share nothing.
    from concurrent.futures import ThreadPoolExecutor

    s = scene(rng, dims=(32, 32, 4))
    kinds = [dict(), dict(output="phase"), dict(res_mm=2.0), dict(ringing=False)] * 2
    serial = [core.gre_synthesize(*args_of(s), **kw) for kw in kinds]
    with ThreadPoolExecutor(4) as ex:
        parallel = list(ex.map(lambda kw: core.gre_synthesize(*args_of(s), **kw), kinds))
    for a, b in zip(serial, parallel):
        np.testing.assert_array_equal(a["magnitude1"], b["magnitude1"])
        for pa, pb in zip(a["phase"], b["phase"]):
            np.testing.assert_array_equal(pa, pb)
