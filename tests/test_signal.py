import math
import re

import numpy as np
import pytest

import quorvel._core as core
from conftest import run_isolated

E = math.exp
# One volume at b = b_max along x: |q|^2 = 1, so exponents read -1000 * D (neonatal preset).
B1 = np.array([1000.0])
X = np.array([[1.0, 0.0, 0.0]])
GM_1 = 0.15 * E(-0.3) + 0.85 * E(-1.2)


# ---- closed-form reference of the compartment model ----

def ref_kernel(a, q, p):
    q2 = q @ q
    if q2 < 1e-8:
        return p["intra_frac"] + p["extra_frac"]
    na = np.linalg.norm(a)
    ah = a / na if na >= 1e-12 else np.zeros(3)
    b, (dpar, dperp, _) = p["b_value"], p["d_extra"]
    return p["intra_frac"] * E(-b * p["d_intra"] * (a @ q) ** 2) + p["extra_frac"] * E(
        -b * (dperp * q2 + (dpar - dperp) * (ah @ q) ** 2)
    )


def ref_fibre(dirs, weights, q, p, d_iso=None):
    total = float(np.sum(weights))
    if total > 1e-12:
        return sum(w * ref_kernel(a, q, p) for a, w in zip(dirs, weights)) / total
    d_iso = np.mean(p["d_extra"]) if d_iso is None else d_iso
    return E(-p["b_value"] * (q @ q) * d_iso)


def ref_gm(q, p):
    q2, r = q @ q, p["gm_restricted_frac"]
    if q2 < 1e-8:
        return 1.0
    return r * E(-p["b_value"] * q2 * p["d_soma"]) + (1 - r) * E(-p["b_value"] * q2 * p["d_gm"])


def ref_csf(q, p):
    return 1.0 if q @ q < 1e-8 else E(-p["b_value"] * (q @ q) * p["d_csf"])


def adjusted(p, m):
    adult = core.tissue_preset("adult")
    out = dict(p)
    for key in ("intra_frac", "extra_frac", "d_intra"):
        out[key] = (adult[key] - p[key]) * m + p[key]
    out["d_extra"] = tuple((a - v) * m + v for a, v in zip(adult["d_extra"], p["d_extra"]))
    return out


def fiberfox(bvals, bvecs):
    bmax = max([0.0, *bvals]) or 1000.0
    out = []
    for b, g in zip(bvals, bvecs):
        n = np.linalg.norm(g)
        u = g / n if b > 0 and n >= 1e-6 else np.zeros(3)
        out.append(np.zeros(3) if b < 50 else math.sqrt(b / bmax) * u)
    return out


# ---- voxel_signal ----

@pytest.mark.parametrize(
    "dirs, weights, fibre",
    [
        ([[1, 0, 0]], [1.0], E(-1.5)),
        ([[0, 1, 0]], [1.0], 0.55 + 0.45 * E(-0.6)),
        ([[2, 0, 0]], [1.0], E(-1.5)),
        ([[1, 0, 0], [0, 1, 0]], [2.0, 2.0], (E(-1.5) + 0.55 + 0.45 * E(-0.6)) / 2),
        ([[1, 0, 0], [0, 1, 0]], [3.0, 1.0], (3 * E(-1.5) + 0.55 + 0.45 * E(-0.6)) / 4),
        (np.zeros((0, 3)), [], E(-0.9)),
        ([[1, 0, 0]], [1e-13], E(-0.9)),
        ([[1, 0, 0], [0, 1, 0]], [1.0, -1.0], E(-0.9)),
        ([[0, 0, 0]], [1.0], 0.55 + 0.45 * E(-0.6)),  # zero direction: stick and zeppelin axis vanish
    ],
)
def test_voxel_signal_neonatal_examples(dirs, weights, fibre):
    f, g, c = core.voxel_signal(B1, X, np.array(dirs, float).reshape(-1, 3), np.array(weights, float), 1.0, 1.0, 1.0, {})
    assert all(a.dtype == np.float64 and a.shape == (1,) for a in (f, g, c))
    # k = 4: a handful of roundings in two exponentials and a weighted mean
    assert f[0] == pytest.approx(fibre, rel=4 * 2**-52)
    assert g[0] == pytest.approx(GM_1, rel=4 * 2**-52)
    assert c[0] == pytest.approx(E(-3), rel=4 * 2**-52)


def test_voxel_signal_unweighted_and_half_b_volumes():
    bvals = np.array([0.0, 40.0, 500.0, 1000.0])
    bvecs = np.array([[1.0, 0, 0]] * 4)
    f, g, c = core.voxel_signal(bvals, bvecs, X, np.array([1.0]), 0.3, 0.5, 0.2, {})
    np.testing.assert_array_equal(f[:2], [0.3, 0.3])  # wm * (intra + extra)
    np.testing.assert_array_equal(g[:2], [0.5, 0.5])
    np.testing.assert_array_equal(c[:2], [0.2, 0.2])
    assert f[2] == pytest.approx(0.3 * E(-0.75), rel=1e-15)
    assert f[3] == pytest.approx(0.3 * E(-1.5), rel=1e-15)
    fb, _, _ = core.voxel_signal(bvals, bvecs, np.zeros((0, 3)), np.zeros(0), 0.7, 0.0, 0.0, {})
    np.testing.assert_array_equal(fb[:2], [0.7, 0.7])  # the fallback has no |q| threshold: exp(0)


def test_voxel_signal_matches_reference_for_random_inputs(rng):
    bvals = np.concatenate([[0.0], rng.choice([700.0, 1000.0, 2500.0], 20)])
    bvecs = rng.normal(size=(21, 3))
    dirs = rng.normal(size=(5, 3))
    weights = rng.random(5)
    params = {"preset": "infant", "b_value": 1500.0, "d_soma": 0.0004}
    p = {**core.tissue_preset("infant"), "b_value": 1500.0, "d_soma": 0.0004}
    f, g, c = core.voxel_signal(bvals, bvecs, dirs, weights, 0.6, 0.3, 0.1, params)
    units = dirs / np.linalg.norm(dirs, axis=1, keepdims=True)
    for k, q in enumerate(fiberfox(bvals, bvecs)):
        assert f[k] == pytest.approx(0.6 * ref_fibre(units, weights, q, p), rel=1e-13)
        assert g[k] == pytest.approx(0.3 * ref_gm(q, p), rel=1e-13)
        assert c[k] == pytest.approx(0.1 * ref_csf(q, p), rel=1e-13)


def test_voxel_signal_empty_scheme():
    out = core.voxel_signal(np.zeros(0), np.zeros((0, 3)), X, np.array([1.0]), 1.0, 1.0, 1.0, {})
    assert isinstance(out, tuple) and all(a.dtype == np.float64 and a.size == 0 for a in out)


@pytest.mark.parametrize(
    "bvecs, dirs, weights, params, message",
    [
        (np.zeros((2, 3)), X, np.ones(1), {}, "bvecs: expected 1 values, got 2"),
        (X, np.zeros((2, 2)), np.ones(2), {}, "dirs must have shape (n, 3), got [2, 2]"),
        (X, np.zeros((2, 3)), np.ones(4)[::2], {}, "The given array is not contiguous or is misaligned."),
        (X, np.zeros((2, 3)), np.ones(1), {}, "weights: expected 2 values, got 1"),
        (X, np.zeros((2, 3)), np.ones(2), {"b_value": "1000"}, "b_value: expected a number"),
    ],
)
def test_voxel_signal_errors_in_order(bvecs, dirs, weights, params, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        core.voxel_signal(B1, bvecs, dirs, weights, 1.0, 1.0, 1.0, params)


def test_voxel_signal_type_errors():
    with pytest.raises(TypeError) as e:
        core.voxel_signal(B1, X, X, np.ones(1), "1", 1.0, 1.0, {})
    assert "while processing 'wm'" in e.value.__notes__
    with pytest.raises(TypeError) as e:
        core.voxel_signal(B1, X, X, np.ones(1, np.float32), 1.0, 1.0, 1.0, {})
    assert "while processing 'weights'" in e.value.__notes__


# ---- signal_from_mixture ----

DIMS = (4, 4, 3)
NVOX = 48


def random_mixture(rng, params=None, dims=DIMS, n_fibres=60, level=2):
    nvox = dims[0] * dims[1] * dims[2]
    voxel = rng.integers(0, nvox, n_fibres).astype(np.uint32)
    voxel[voxel == 5] = 6  # voxel 5 keeps no fibre support
    dirs = rng.normal(size=(n_fibres, 3))
    weight = rng.random(n_fibres) + 0.1
    wm, gm, csf = (rng.random(nvox).astype(np.float32) for _ in range(3))
    wm[5] = 0.6
    mask = np.ones(nvox, np.float32)
    mask[int(voxel[0])] = 0.0  # a voxel with orientation mass outside the mask
    return core.mixture_from_fibers(dims, voxel, dirs, weight, wm, gm, csf, mask, params or {}, sphere_level=level)


def scheme(rng, n=12):
    bvals = np.concatenate([[0.0, 30.0], rng.choice([500.0, 1000.0, 2000.0], n - 2)])
    return bvals, rng.normal(size=(n, 3))


def voxel_series(comp, vox):
    ng = comp.ngrad
    return [img[vox * ng : (vox + 1) * ng] for img in comp.images()]


def test_signal_from_mixture_matches_voxel_signal(rng):
    mix = random_mixture(rng)
    bvals, bvecs = scheme(rng)
    comp = core.signal_from_mixture(mix, bvals, bvecs)
    assert comp.n_compartments == 3 and comp.ngrad == 12 and comp.dims == DIMS
    assert comp.t2 == [180.0, 220.0, 2500.0]
    odf = mix.odf().reshape(NVOX, mix.nvert)
    verts = mix.sphere_vertices().reshape(-1, 3)
    wm, gm, csf = mix.fractions()
    for vox in range(NVOX):
        nz = odf[vox] != 0
        f, g, c = core.voxel_signal(bvals, bvecs, verts[nz], odf[vox][nz].astype(float), wm[vox], gm[vox], csf[vox], {})
        got = voxel_series(comp, vox)
        # float32 storage of the same float64 values (vertices renormalised by voxel_signal)
        for ref, out in zip((f, g, c), got):
            np.testing.assert_allclose(out, ref, rtol=3e-7, atol=1e-30)


def test_unmasked_voxel_stays_zero_despite_orientation_mass(rng):
    mix = random_mixture(rng)
    odf = mix.odf().reshape(NVOX, mix.nvert)
    wm, gm, csf = mix.fractions()
    outside = np.flatnonzero((wm + gm + csf) == 0)
    assert outside.size and odf[outside].sum() > 0
    comp = core.signal_from_mixture(mix, *scheme(rng))
    for vox in outside:
        assert all(np.all(s == 0) for s in voxel_series(comp, vox))


def test_fallback_voxel_uses_isotropic_table(rng):
    mix = random_mixture(rng)
    assert mix.fallback()[5] == 1 and np.all(mix.odf().reshape(NVOX, -1)[5] == 0)
    comp = core.signal_from_mixture(mix, B1, X)
    wm = mix.fractions()[0][5]
    assert voxel_series(comp, 5)[0][0] == np.float32(float(wm) * E(-0.9))


def test_empty_scheme(rng):
    comp = core.signal_from_mixture(random_mixture(rng, {"preset": "adult"}), np.zeros(0), np.zeros((0, 3)))
    assert comp.ngrad == 0 and comp.n_compartments == 3 and comp.dims == DIMS
    assert all(i.size == 0 for i in comp.images())
    assert comp.t2 == [68.0, 76.0, 2000.0]


def test_myelin_threshold_and_full_myelination(rng):
    state = rng.bit_generator.state
    mix = random_mixture(rng)
    rng.bit_generator.state = state
    adult_mix = random_mixture(rng, {"preset": "adult", "d_gm": 0.0012, "gm_restricted_frac": 0.15})
    bvals, bvecs = scheme(rng)
    plain = core.signal_from_mixture(mix, bvals, bvecs).images()

    at_threshold = core.signal_from_mixture(mix.with_myelin(np.full(NVOX, 0.001, np.float32)), bvals, bvecs)
    for a, b in zip(at_threshold.images(), plain):
        np.testing.assert_array_equal(a, b)

    full = core.signal_from_mixture(mix.with_myelin(np.ones(NVOX, np.float32)), bvals, bvecs)
    adult = core.signal_from_mixture(adult_mix, bvals, bvecs).images()
    fib, gm, csf = full.images()
    assert not np.allclose(fib, plain[0], rtol=1e-3)
    np.testing.assert_allclose(fib, adult[0], rtol=1e-6, atol=1e-30)
    np.testing.assert_array_equal(gm, plain[1])
    np.testing.assert_array_equal(csf, plain[2])
    assert full.t2 == [180.0, 220.0, 2500.0]


def test_partial_myelination_matches_adjusted_parameters(rng):
    mix = random_mixture(rng)
    myelin = rng.random(NVOX).astype(np.float32)
    myelin[:6] = [0.0, 0.0005, 0.001, 0.0011, 1.0, 0.5]
    bvals, bvecs = scheme(rng)
    comp = core.signal_from_mixture(mix.with_myelin(myelin), bvals, bvecs)
    odf = mix.odf().reshape(NVOX, mix.nvert)
    verts = mix.sphere_vertices().reshape(-1, 3)
    wm, gm, csf = mix.fractions()
    p0 = core.tissue_preset("neonatal")
    for vox in range(NVOX):
        nz = odf[vox] != 0
        p = adjusted(p0, float(myelin[vox])) if myelin[vox] > np.float32(0.001) else p0
        f, _, _ = core.voxel_signal(bvals, bvecs, verts[nz], odf[vox][nz].astype(float), wm[vox], 0, 0, p)
        np.testing.assert_allclose(voxel_series(comp, vox)[0], f, rtol=3e-7, atol=1e-30)


def field_on(dims, scale=3.0):
    affine = np.diag([25.0, 25.0, 25.0, 1.0])
    affine[:3, 3] = (-40.0, -30.0, 20.0)
    return core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300").scaled(scale), dims, affine)


def test_identity_jacobian_field_equals_no_field(rng):
    mix = random_mixture(rng)
    myelin = rng.random(NVOX).astype(np.float32)
    myelin[:8] = [0.0, 0.0005, 0.001, 0.0011, 1.0, 0.5, 0.0, 0.0]
    mix = mix.with_myelin(myelin)
    bvals, bvecs = scheme(rng)
    identity = field_on(DIMS, 0.0)
    with_field = core.signal_from_mixture(mix, bvals, bvecs, gnl=identity).images()
    without = core.signal_from_mixture(mix, bvals, bvecs, None).images()
    # Only myelin in (0, 0.001] differs: adjusted under a field, below the threshold without.
    differs = np.repeat((myelin > 0) & (myelin <= np.float32(0.001)), bvals.size)
    wm = np.repeat(mix.fractions()[0], bvals.size)
    for a, b in zip(with_field, without):
        np.testing.assert_array_equal(a[~differs], b[~differs])
    np.testing.assert_array_equal(with_field[1], without[1])
    np.testing.assert_array_equal(with_field[2], without[2])
    assert np.any(with_field[0][differs & (wm > 0)] != without[0][differs & (wm > 0)])


def test_field_distorts_each_voxel_gradient(rng):
    mix = random_mixture(rng)
    myelin = rng.random(NVOX).astype(np.float32)
    myelin[:3] = [0.0, 0.0005, 0.002]
    mix = mix.with_myelin(myelin)
    field = field_on(DIMS)
    jac = field.graddev(np.eye(4)).reshape(NVOX, 3, 3).astype(float)  # J itself in world axes
    assert np.abs(jac - np.eye(3)).max() > 0.01
    bvals, bvecs = scheme(rng)
    comp = core.signal_from_mixture(mix, bvals, bvecs, field)
    odf = mix.odf().reshape(NVOX, mix.nvert)
    verts = mix.sphere_vertices().reshape(-1, 3)
    wm, gm, csf = (f.astype(float) for f in mix.fractions())
    p0 = core.tissue_preset("neonatal")
    qs = fiberfox(bvals, bvecs)
    for vox in range(NVOX):
        if wm[vox] + gm[vox] + csf[vox] <= 0:
            continue
        nz = odf[vox] != 0
        m = float(myelin[vox])
        p = adjusted(p0, m)
        d_iso = np.mean(p["d_extra"]) if myelin[vox] > np.float32(0.001) else np.mean(p0["d_extra"])
        fib, g, c = voxel_series(comp, vox)
        for k, q in enumerate(qs):
            qe = jac[vox].T @ q
            f_ref = wm[vox] * ref_fibre(verts[nz], odf[vox][nz].astype(float), qe, p, d_iso)
            assert fib[k] == pytest.approx(f_ref, rel=1e-6, abs=1e-30)
            assert g[k] == pytest.approx(gm[vox] * ref_gm(qe, p0), rel=1e-6, abs=1e-30)
            assert c[k] == pytest.approx(csf[vox] * ref_csf(qe, p0), rel=1e-6, abs=1e-30)


def test_signal_from_mixture_errors(rng):
    mix = random_mixture(rng)
    other = field_on((4, 4, 2))
    with pytest.raises(ValueError, match=re.escape("GNL field grid [4, 4, 2] != mixture grid [4, 4, 3]")):
        core.signal_from_mixture(mix, B1, X, other)
    with pytest.raises(ValueError, match=re.escape("bvecs: expected 1 values, got 2")):
        core.signal_from_mixture(mix, B1, np.zeros((2, 3)), other)  # the scheme is checked first
    with pytest.raises(TypeError, match="'str' object is not an instance of 'Mixture'") as e:
        core.signal_from_mixture("mix", B1, X)
    assert "while processing 'mix'" in e.value.__notes__
    with pytest.raises(TypeError, match="'GradCoef' object is not an instance of 'GnlField'") as e:
        core.signal_from_mixture(mix, B1, X, gnl=core.GradCoef.from_spec("whole-body-80"))
    assert "while processing 'gnl'" in e.value.__notes__


DETERMINISM = """
import hashlib, numpy as np, quorvel._core as core
assert core.set_threads({threads})
rng = np.random.default_rng(42)
dims = (14, 12, 10); nvox = 14 * 12 * 10; n = 4000
mix = core.mixture_from_fibers(dims, rng.integers(0, nvox, n).astype(np.uint32), rng.normal(size=(n, 3)),
    rng.random(n), *(rng.random(nvox).astype(np.float32) for _ in range(3)), (rng.random(nvox) > 0.1).astype(np.float32),
    {{}}, kappa=8.0)
mix = mix.with_myelin(rng.random(nvox).astype(np.float32) * (rng.random(nvox) > 0.5))
bvals = rng.choice([0.0, 1000.0, 2000.0], 30); bvecs = rng.normal(size=(30, 3))
aff = np.diag([12.0, 12.0, 12.0, 1.0]); aff[:3, 3] = (-80.0, -70.0, -60.0)
field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), dims, aff)
h = hashlib.sha256()
for gnl in (None, field):
    for img in core.signal_from_mixture(mix, bvals, bvecs, gnl).images():
        h.update(img.tobytes())
print(core.current_threads(), h.hexdigest())
"""


def test_result_independent_of_thread_count():
    one = run_isolated(DETERMINISM.format(threads=1)).split()
    many = run_isolated(DETERMINISM.format(threads=8)).split()
    assert one[0] == "1" and many[0] == "8"
    assert one[1] == many[1]
