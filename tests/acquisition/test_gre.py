"""GRE field-map synthesis: echoes, receive maps, resampling, noise, phase codes, checks."""
import math
import re
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import quorvel._core as core
from conftest import GOLDEN, M64
from test_kspace_pins import normal, uniforms

TWO_PI = 6.283185307179586
T2 = (50.0, 60.0, 200.0)
PD = (0.7, 0.85, 1.0)
NAMES = ["sig_dims", "sig_affine", "acq_dims", "acq_affine", "fiber", "gm", "csf", "s0", "t2", "fmap",
         "signal_scale", "seed"]


def scene(dims, f=1, vox=(1.0, 1.0, 1.0), fmap=0.0, frac=(1.0, 0.0, 0.0)):
    """Uniform maps on a diagonal signal grid; the acquisition grid is it reduced by f in-plane."""
    n = int(np.prod(dims))
    sig = np.diag([*vox, 1.0])
    acq = sig.copy()
    acq[:2, :2] *= f
    acq[:2, 3] = 0.5 * (f - 1) * np.array(vox[:2])
    maps = {k: np.full(n, v, np.float32) for k, v in zip(("fiber", "gm", "csf"), frac)}
    return dict(sig_dims=dims, sig_affine=sig, acq_dims=(max(dims[0] // f, 1), max(dims[1] // f, 1), dims[2]),
                acq_affine=acq, **maps, s0=(1.0, 0.9, 1.1), t2=list(T2), fmap=np.full(n, fmap, np.float32),
                signal_scale=100.0, seed=3)


def run(s, **kw):
    return core.gre_synthesize(*[s[k] for k in NAMES], **kw)


def steady(flip_deg=60.0, tr_s=0.5, t1_ms=(830.0, 1330.0, 4000.0)):
    a = math.radians(flip_deg)
    return [math.sin(a) * (1 - e) / (1 - math.cos(a) * e) for e in (math.exp(-1000 * tr_s / t) for t in t1_ms)]


def echo(te, frac=(1.0, 0.0, 0.0), head=0.0, t2_head=70.0):
    """Noise-free, unbiased echo magnitude of the scene() maps with the default T1 and PD."""
    amp = [p * s0 * x for p, s0, x in zip(PD, (1.0, 0.9, 1.1), steady())]
    s = sum(f * a * math.exp(-1000 * te / t) for f, a, t in zip(frac, amp, T2))
    return (s + head * amp[0] * math.exp(-1000 * te / t2_head)) * 100.0


def sigma_of(snr, scale=100.0):
    return scale * max(p * x for p, x in zip(PD, steady())) / snr


def bias_ref(dims, z_offset, nz_total, bias):
    z, y, x = np.meshgrid(*(np.arange(n, dtype=float) for n in dims[::-1]), indexing="ij")
    terms = [((p - (e - 1) / 2) / ((e - 1) / 2)) ** 2
             for p, e in ((x, dims[0]), (y, dims[1]), (z + z_offset, nz_total)) if e > 1]
    return (1 - bias + 2 * bias * (sum(terms) / len(terms) if terms else 0 * x)).ravel()


def rx_ref(dims, amp):
    z, y, x = np.meshgrid(*(2.0 * np.arange(n) / (max(n, 2) - 1) - 1 for n in dims[::-1]), indexing="ij")
    poly = x + 0.7 * y + 0.4 * z + 0.6 * x * y + 0.5 * (x * x - 0.5) + 0.4 * (y * y - 0.5) + 0.3 * y * z
    return (amp * poly).astype(np.float32).ravel()


def code(phi):
    return min(max(math.floor((phi + math.pi) / TWO_PI * 4096.0 + 0.5), 0), 4095)


def normals(seed, v):
    u = uniforms(((((seed * GOLDEN) & M64) ^ 0x6E7EF1E1D0000000) + 8 * v * GOLDEN) & M64, 8)
    return [normal(u[2 * j], u[2 * j + 1]) for j in range(4)]


def truncate_ref(line, f):
    """The lowest n // f DFT modes (negative Nyquist kept) sampled at the coarse voxel centres."""
    n, m = len(line), len(line) // f
    ks = np.arange(-(m // 2), (m + 1) // 2)
    p = f * (np.arange(m) + 0.5) - 0.5
    return np.real(np.exp(2j * np.pi * np.outer(p, ks) / n) @ np.fft.fft(line)[ks % n]) / n


# ---------------------------------------------------------------- results

def test_defaults_and_result_layout():
    s = scene((3, 3, 3))
    r = run(s)
    assert list(r) == ["dims", "affine", "magnitude1", "magnitude2", "phase", "te_s", "tr_s", "flip_deg", "output",
                       "b0_field", "sigma", "stamped"]
    np.testing.assert_array_equal(r["affine"], s["acq_affine"].ravel())
    assert (r["dims"], r["te_s"], r["tr_s"], r["flip_deg"], r["output"], r["b0_field"]) == (
        (3, 3, 3), (0.00492, 0.00738), 0.5, 60.0, "phasediff", "b0gre")
    assert len(r["phase"]) == 1 and r["phase"][0].dtype == np.int16 and r["magnitude1"].dtype == np.float32
    # Default snr 50, T1 and PD set the noise level; without res_mm the volume ratio is 1, even
    # for a singular acquisition affine. None means the default for every optional map.
    assert r["sigma"] == pytest.approx(sigma_of(50.0), rel=1e-7)
    same = run(dict(s, acq_affine=np.zeros((4, 4))), res_mm=None, head=None, nz_full=None, warp=None)
    assert same["sigma"] == r["sigma"] and np.array_equal(same["magnitude1"], r["magnitude1"])
    # Default TEs and bias 0.3 (gain 0.7 at the centre voxel), no noise for snr <= 0 or NaN.
    for snr in (0.0, -5.0, float("nan")):
        q = run(s, snr=snr)
        assert q["sigma"] == 0.0 and (q["magnitude1"][13], q["magnitude2"][13]) == pytest.approx(
            (echo(0.00492) * 0.7, echo(0.00738) * 0.7), rel=1e-6)
    # The docstring spells out the defaults the text signature can only show as "...".
    assert all(d in core.gre_synthesize.__doc__ for d in ("te_s=(0.00492, 0.00738)", "pd=(0.7, 0.85, 1.0)",
                                                          "t1_ms=(830.0, 1330.0, 4000.0)"))


@pytest.mark.parametrize("dims, z_offset, nz_full, bias", [
    ((3, 3, 3), 0, None, 0.3), ((3, 3, 3), 0, None, 0.0), ((3, 3, 1), 0, None, 0.3), ((1, 1, 1), 0, None, 0.25),
    ((4, 3, 2), 4, 10, 0.3),  # a slab takes the gains of full-volume slices 4 and 5
    ((4, 3, 2), 4, 1, 0.3),   # nz_full below the slab's own nz counts as nz
])
def test_noise_free_magnitudes_with_head_and_bias(dims, z_offset, nz_full, bias):
    frac = (0.5, 0.3, 0.1)
    head = np.full(int(np.prod(dims)), 0.1, np.float32)
    r = run(scene(dims, frac=frac), snr=0.0, te_s=(0.005, 0.01), head=head, t2_head_ms=40.0, bias=bias,
            z_offset=z_offset, nz_full=nz_full)
    gain = bias_ref(dims, z_offset, max(nz_full or 0, dims[2]), bias)
    for key, te in (("magnitude1", 0.005), ("magnitude2", 0.01)):
        np.testing.assert_allclose(r[key], echo(te, frac, head=0.1, t2_head=40.0) * gain, rtol=1e-6)


@pytest.mark.parametrize("fmap, fiber, stamped", [
    ([50.0, -499.99, 499.99, 10.0], [0, 1, 1, 1], False),  # -pi + tiny, pi - tiny: codes 0 and 4095 present
    ([50.0, -499.99, 499.51, 10.0], [0, 1, 1, 1], True),   # 4095 missing (4094 is the largest)
    ([50.0, -499.76, 499.99, 10.0], [0, 1, 1, 1], True),   # 0 missing (1 is the smallest)
    ([40.0] * 4, [1] * 4, True),                           # a uniform field map gives a constant image
    ([30.0], [1], False),                                  # one voxel is never stamped
])
def test_phasediff_codes_and_range_stamp(fmap, fiber, stamped):
    s = scene((len(fmap), 1, 1))
    s["fmap"], s["fiber"] = np.array(fmap, np.float32), np.array(fiber, np.float32)
    r = run(s, snr=0.0, te_s=(0.004, 0.005))
    # Where both echoes are exactly 0 the difference has angle 0, code 2048.
    want = [code(TWO_PI * f * (0.005 - 0.004)) if w else 2048 for f, w in zip(fmap, fiber)]
    if stamped:
        want[0], want[-1] = 0, 4095
    assert r["stamped"] is stamped
    np.testing.assert_array_equal(r["phase"][0], want)


@pytest.mark.parametrize("dims, amp, fmap", [
    ((1, 1, 1), 2.0, 0.0),  # a single voxel sits at (-1, -1, -1): -0.75 times the amplitude, -1.5
    ((4, 3, 5), 0.9, 0.0), ((4, 3, 5), 0.0, 25.0), ((3, 2, 2), 0.5, 20.0)])
def test_phase_output_codes_carry_the_receive_phase(dims, amp, fmap):
    s = scene(dims, fmap=fmap)
    te = (0.004, 0.008)
    r = run(s, snr=0.0, output="phase", rx_phase_rad=amp, te_s=te)
    assert r["stamped"] is False and r["output"] == "phase" and len(r["phase"]) == 2
    for ph, t in zip(r["phase"], te):
        want = np.array([code(math.remainder(x + TWO_PI * fmap * t, TWO_PI)) for x in rx_ref(dims, amp)])
        # The float32 echo parts can move an angle across one code boundary.
        assert np.abs(ph.astype(int) - want).max() <= 1


def test_zero_echo_and_nan_angles():
    # Echo 1 of voxel 0 is 0 times a third-quadrant phase, (-0, -0); with a seed whose first two
    # normals are negative, sigma 0 adds (-0, -0) and the signs survive: still the code of angle 0.
    seed = next(k for k in range(1000) if all(g < 0 for g in normals(k, 0)[:2]))
    s = dict(scene((3, 1, 1), fmap=150.0), seed=seed)  # 2 pi * 150 Hz * 4 ms = 1.2 pi
    s["fiber"][0] = 0.0
    kw = dict(snr=0.0, output="phase", rx_phase_rad=0.0, te_s=(0.004, 0.0055))
    r = run(s, **kw)
    assert [p[0] for p in r["phase"]] == [2048, 2048]
    assert r["phase"][0][1] == code(TWO_PI * 150 * 0.004 - TWO_PI)
    # The maps refuse NaN, but a NaN scale still makes NaN angles: they saturate to code 0.
    assert all(np.all(p == 0) for p in run(dict(s, signal_scale=np.nan), **kw)["phase"])


@pytest.mark.parametrize("output", ["phasediff", "phase"])
def test_noise_draws(output):
    s = dict(scene((3, 2, 1), fmap=30.0), seed=2**64 - 1)
    r = run(s, snr=10.0, bias=0.0, output=output, rx_phase_rad=0.0)
    assert r["sigma"] == pytest.approx(sigma_of(10.0), rel=1e-7)
    te = (0.00492, 0.00738)
    phi = [0.0, TWO_PI * 30 * (te[1] - te[0])] if output == "phasediff" else [TWO_PI * 30 * t for t in te]
    n = np.array([normals(s["seed"], v) for v in range(6)])
    z = [echo(te[e]) * np.exp(1j * phi[e]) + r["sigma"] * (n[:, 2 * e] + 1j * n[:, 2 * e + 1]) for e in range(2)]
    np.testing.assert_allclose([r["magnitude1"], r["magnitude2"]], np.abs(z), rtol=1e-5)
    angles = [np.angle(z[1] * np.conj(z[0]))] if output == "phasediff" else np.angle(z)
    want = np.array([[code(a) for a in row] for row in angles])
    if r["stamped"]:
        want[0, [0, -1]] = 0, 4095
    assert np.abs(np.array(r["phase"]).astype(int) - want).max() <= 1


def test_deterministic_across_calls_and_threads(rng):
    # The interpreter lock is released during the work; concurrent calls share nothing.
    s = scene((32, 32, 4), f=2)
    s["fiber"] = rng.uniform(0, 1, s["fiber"].size).astype(np.float32)
    s["fmap"] = rng.normal(0, 60, s["fmap"].size).astype(np.float32)
    kinds = [{}, dict(output="phase"), dict(res_mm=2.0), dict(ringing=False)]
    serial = [run(s, **kw) for kw in kinds]
    with ThreadPoolExecutor(4) as ex:
        parallel = list(ex.map(lambda kw: run(s, **kw), kinds * 2))
    for a, b in zip(serial * 2, parallel):
        assert all(np.array_equal(a[k], b[k]) for k in ("magnitude1", "magnitude2", "phase"))


# ---------------------------------------------------------------- resampling

@pytest.mark.parametrize("nx, ny, output", [(16, 4, "phasediff"), (16, 4, "phase"), (2100, 2, "phasediff")])
def test_inplane_reduction_ringing_on_and_off(rng, nx, ny, output):
    # A slice reduced by 2: box means, or the spectral truncation of every row and then every column. A step edge on
    # 16 x 4; lines of 2100, too long for the stored factor table, recompute its rows per line, and columns of two
    # samples keep mode 0 only.
    s = scene((nx, ny, 1), f=2)
    s["fiber"] = (np.tile(np.arange(nx) < 7, ny) if nx == 16 else rng.uniform(0, 1, nx * ny)).astype(np.float32)
    kw = dict(snr=0.0, bias=0.0, output=output, rx_phase_rad=0.0)
    box, ring = (run(s, ringing=on, **kw)["magnitude1"].reshape(ny // 2, nx // 2) for on in (False, True))
    img = s["fiber"].reshape(ny, nx) * echo(0.00492)
    np.testing.assert_allclose(box, img.reshape(ny // 2, 2, nx // 2, 2).mean(axis=(1, 3)), rtol=1e-6)
    rows = np.array([truncate_ref(row, 2) for row in img])
    np.testing.assert_allclose(ring, np.abs([truncate_ref(c, 2) for c in rows.T]).T, atol=1e-5 * img.max())
    # Gibbs overshoot beyond the plateau next to the edge, and ripple in the empty half.
    assert nx > 16 or (ring[0, 2] > 1.05 * echo(0.00492) and np.all(ring[:, 4:] > 0.01 * echo(0.00492)))


def test_fieldmap_is_box_averaged_even_with_ringing():
    s = scene((8, 2, 1), f=2)
    s["fmap"] = np.tile([0, 100, 0, 100, 0, 0, 100, 100], 2).astype(np.float32)
    r = run(s, snr=0.0, te_s=(0.004, 0.005))
    np.testing.assert_array_equal(r["phase"][0], [0, code(TWO_PI * 50 * 0.001), 2048, 4095])


def test_res_mm_grid_and_binning():
    # Oblique 2 mm voxels onto 1 mm: voxel i lands on target 2i + 1 (half rounded away from zero).
    s = scene((4, 4, 2), f=2, vox=(2.0, 2.0, 2.0))
    c, sn = math.cos(0.3), math.sin(0.3)
    s["sig_affine"] = np.array([[2 * c, -2 * sn, 0, 10], [2 * sn, 2 * c, 0, -20], [0, 0, 2, 30], [0, 0, 0, 1]])
    r = run(s, snr=0.0, res_mm=1.0)
    assert r["dims"] == (8, 8, 4)
    t, corner = r["affine"].reshape(4, 4), [-0.5, -0.5, -0.5, 1.0]
    np.testing.assert_allclose(t[:3, :3], s["sig_affine"][:3, :3] / 2, atol=1e-14)
    np.testing.assert_allclose(t @ corner, s["sig_affine"] @ corner, atol=1e-12)
    np.testing.assert_array_equal(t[3], [0, 0, 0, 1])
    filled = np.zeros((4, 8, 8), bool)
    filled[1::2, 1::2, 1::2] = True
    m = r["magnitude1"].reshape(4, 8, 8)
    np.testing.assert_allclose(m[filled], echo(0.00492) * bias_ref((4, 4, 2), 0, 2, 0.3), rtol=1e-6)
    assert np.all(m[~filled] == 0)
    # Noise follows acquisition over output voxel volume (32 / 1) to the power snr_vol_exp, and
    # fills the empty target voxels; ringing plays no part.
    noisy = run(s, snr=10.0, res_mm=1.0, snr_vol_exp=0.5)
    assert noisy["sigma"] == pytest.approx(sigma_of(10.0) * 32.0 ** 0.5, rel=1e-7)
    assert np.all(noisy["magnitude1"].reshape(4, 8, 8)[~filled] > 0)
    np.testing.assert_array_equal(run(s, res_mm=1.0, ringing=False)["phase"][0], run(s, res_mm=1.0)["phase"][0])
    assert [run(s, res_mm=res)["dims"] for res in (3.2, 1000.0)] == [(3, 3, 1), (1, 1, 1)]  # 2.5 -> 3


def test_res_mm_takes_any_acquisition_grid():
    # The echoes are binned onto the res_mm grid; the acquisition grid, of other dims and 2 x 2 x 1.5 mm
    # voxels here, sets only the noise level: 6 mm^3 against the output's 8 mm^3.
    s = scene((8, 6, 3))
    same = run(s, res_mm=2.0, snr=0.0)
    other = dict(s, acq_dims=(4, 3, 2), acq_affine=np.diag([2.0, 2.0, 1.5, 1.0]))
    assert run(other, res_mm=2.0)["sigma"] == pytest.approx(sigma_of(50.0) * 6 / 8, rel=1e-7)  # PD held as float32
    got = run(other, res_mm=2.0, snr=0.0)
    assert got["dims"] == same["dims"] == (4, 3, 2)
    for k in ("magnitude1", "magnitude2"):
        np.testing.assert_array_equal(got[k], same[k])


def test_res_mm_averages_complex_echoes():
    # A 1 mm line of 4 onto 2 mm: voxels 0 and 1 share target 0. Voxel 1 turns a quarter by TE1 and
    # a half by TE2: the pair averages to m (1 + i) / 2, then cancels.
    s = scene((4, 1, 1))
    s["fmap"][1] = 62.5
    r = run(s, snr=0.0, bias=0.0, res_mm=2.0, output="phase", rx_phase_rad=0.0, te_s=(0.004, 0.008))
    assert r["dims"] == (2, 1, 1)
    assert r["magnitude1"] == pytest.approx([echo(0.004) / math.sqrt(2), echo(0.004)], rel=1e-6)
    assert r["magnitude2"] == pytest.approx([0.0, echo(0.008)], abs=1e-5)
    assert list(r["phase"][0]) == [code(math.pi / 4), 2048]


def gnl_field(dims, affine):
    return core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), dims, affine)


@pytest.mark.parametrize("modulate", [True, False])
def test_warp_distorts_the_echo_magnitudes_only(rng, modulate):
    s = scene((8, 8, 3), vox=(1.5, 1.5, 2.0))
    s["sig_affine"][:3, 3] = s["acq_affine"][:3, 3] = (60.0, 80.0, 90.0)  # off-centre, where the field bends
    s["fiber"] = rng.uniform(0, 1, s["fiber"].size).astype(np.float32)
    s["fmap"] = rng.normal(0, 60, s["fmap"].size).astype(np.float32)
    field = gnl_field(s["sig_dims"], s["sig_affine"])
    plain = run(s, snr=0.0)
    warped = run(s, snr=0.0, warp=field, warp_modulate=modulate)
    # Echo 2 passes through float32 (cos, sin) parts: a last-bit difference from its magnitude.
    for k in ("magnitude1", "magnitude2"):
        np.testing.assert_allclose(warped[k], np.abs(field.warp_volume(plain[k], modulate)), rtol=2e-7)
    assert not np.allclose(warped["magnitude1"], plain["magnitude1"])
    # The field map is not warped: where both echoes survive the phase difference is unchanged.
    keep = (warped["magnitude1"] > 0) & (plain["magnitude1"] > 0)
    np.testing.assert_array_equal(warped["phase"][0][keep][1:-1], plain["phase"][0][keep][1:-1])


# ---------------------------------------------------------------- checks

def test_value_errors_in_check_order():
    s = scene((8, 8, 3))
    n = 8 * 8 * 3
    strided, short = np.zeros(2 * n, np.float32)[::2], np.zeros(n - 1, np.float32)
    flat = s["sig_affine"].copy()
    flat[:3, 1] = flat[:3, 0]
    other = gnl_field((8, 3, 8), s["sig_affine"])  # same voxel count, other dims
    nocontig = "The given array is not contiguous or is misaligned."
    outmsg = "output: expected 'phasediff' or 'phase', got "
    GRID = "signal grid [8, 8, 3] must be an integer multiple of the acquisition grid [{}, {}, {}] in-plane"
    endless = np.eye(4)
    endless[0, 3] = np.inf

    def bad(i, value):
        a = np.zeros(n, np.float32)
        a[i] = value
        return a
    for msg, over in [
        ("affine must be (4, 4), got [3, 4]", dict(sig_affine=np.zeros((3, 4)), acq_affine=np.zeros((2, 2)))),
        ("affine must be (4, 4), got [2, 2]", dict(acq_affine=np.zeros((2, 2)), fiber=strided)),
        (nocontig, dict(fiber=strided, gm=short)),
        (nocontig, dict(fmap=strided, fiber=short)),
        ("sig_dims [4294967296, 4294967296, 1]: voxel count overflows", dict(sig_dims=(2**32, 2**32, 1))),
        (f"fiber fraction: expected {n} values, got {n - 1}", dict(fiber=short, gm=short)),
        (f"gm fraction: expected {n} values, got {n - 1}", dict(gm=short, csf=short)),
        (f"csf fraction: expected {n} values, got {n - 1}", dict(csf=short, fmap=short)),
        (f"fieldmap: expected {n} values, got {n - 1}", dict(fmap=short, t2=[1.0])),
        ("t2: expected 3 values, got 4", dict(t2=[1.0, 2.0, 3.0, 4.0], head=short)),
        (nocontig, dict(head=strided, output="x")),
        (f"head: expected {n} values, got {n - 1}", dict(head=short, output="x")),
        (outmsg + '"Phase"', dict(output="Phase", warp=other)),
        (outmsg + '"phase diff\\"x\\""', dict(output='phase diff"x"')),
        ("GNL field grid [8, 3, 8] != signal grid [8, 8, 3]", dict(warp=other, acq_dims=(4, 8, 2))),
        ("slice count differs: signal grid [8, 8, 3] vs acquisition grid [4, 8, 2]", dict(acq_dims=(4, 8, 2))),
        *((GRID.format(*acq), dict(acq_dims=acq, fiber=bad(0, np.nan))) for acq in ((8, 4, 3), (16, 16, 3), (3, 3, 3), (0, 8, 3))),
        # With res_mm the acquisition grid only sets the noise level: its dims are free, its affine is not.
        *((f"res_mm: expected a positive finite number, got {v}", dict(res_mm=float(v), acq_dims=(4, 3, 2)))
          for v in ("0", "-1.5", "inf", "nan")),
        ("res_mm 0.001 gives an output grid of 8000 x 8000 x 3000 voxels, more than 268435456", dict(res_mm=0.001)),
        ("grid affine is singular", dict(sig_affine=flat, res_mm=2.0, acq_affine=np.zeros((4, 4)))),  # columns 0 and 1 parallel
        ("acq_affine: grid affine is singular", dict(acq_dims=(4, 3, 2), acq_affine=np.zeros((4, 4)), res_mm=2.0, fiber=bad(0, np.nan))),
        ("acq_affine: grid affine is not finite", dict(acq_affine=endless, res_mm=2.0, fiber=bad(0, np.nan))),
        # Non-finite map values, last: the only check that reads every value.
        ("fiber fraction must be finite: nan at voxel [3, 2, 1]", dict(fiber=bad(3 + 8 * (2 + 8 * 1), np.nan), gm=bad(0, np.nan))),
        ("gm fraction must be finite: inf at voxel [0, 0, 0]", dict(gm=bad(0, np.inf), csf=bad(0, np.nan))),
        ("csf fraction must be finite: -inf at voxel [7, 7, 2]", dict(csf=bad(n - 1, -np.inf), fmap=bad(0, np.nan))),
        ("fieldmap must be finite: nan at voxel [5, 0, 0]", dict(fmap=bad(5, np.nan), head=bad(0, np.nan), res_mm=2.0)),
        ("head must be finite: inf at voxel [0, 1, 0]", dict(head=bad(8, np.inf), res_mm=2.0)),
    ]:
        args = {**s, **over}
        kw = {k: args.pop(k) for k in list(args) if k not in NAMES}
        with pytest.raises(ValueError, match="^" + re.escape(msg) + "$"):
            run(args, **kw)


@pytest.mark.parametrize("name, value, exc", [
    ("sig_dims", [8, 8, 3], TypeError), ("acq_dims", (4, 4), TypeError), ("fiber", np.zeros(192), TypeError),
    ("s0", [1.0, 1.0, 1.0], TypeError), ("seed", -1, OverflowError), ("te_s", None, TypeError),
    ("output", None, TypeError), ("ringing", 1, TypeError), ("z_offset", -1, OverflowError),
    ("warp", "field", TypeError), ("head", np.zeros(192), TypeError),
])
def test_type_errors_name_the_argument(name, value, exc):
    with pytest.raises(exc) as info:
        core.gre_synthesize(**scene((8, 8, 3)) | {name: value})
    assert f"while processing '{name}'" in getattr(info.value, "__notes__", [])
