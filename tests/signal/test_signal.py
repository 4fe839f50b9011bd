import math
import re

import numpy as np
import pytest

import quorvel._core as core
from conftest import brick_plan, thread_counts_agree

E = math.exp
# One volume at b = b_max along x: |q|^2 = 1, so exponents read -1000 * D (neonatal preset).
B1, X = np.array([1000.0]), np.array([[1.0, 0.0, 0.0]])
NEONATAL = core.tissue_preset("neonatal")


def ref_fibre(dirs, weights, q, p, d_iso):
    """The compartment model written out: weighted stick + zeppelin, isotropic fallback."""
    b, q2, (dpar, dperp, _) = p["b_value"], q @ q, p["d_extra"]
    if sum(weights) <= 1e-12:
        return E(-b * q2 * d_iso)
    if q2 < 1e-8:
        return p["intra_frac"] + p["extra_frac"]
    k = [p["intra_frac"] * E(-b * p["d_intra"] * (a @ q) ** 2) + p["extra_frac"] * E(-b * (dperp * q2 + (dpar - dperp) * (a @ q) ** 2))
         for a in dirs]
    return np.dot(weights, k) / sum(weights)


def ref_gm_csf(q, p):
    b, q2, r = p["b_value"], q @ q, p["gm_restricted_frac"]
    if q2 < 1e-8:
        return 1.0, 1.0
    return r * E(-b * q2 * p["d_soma"]) + (1 - r) * E(-b * q2 * p["d_gm"]), E(-b * q2 * p["d_csf"])


def adjusted(p, m):
    adult = core.tissue_preset("adult")
    out = {**p, **{k: (adult[k] - p[k]) * m + p[k] for k in ("intra_frac", "extra_frac", "d_intra")}}
    out["d_extra"] = tuple((a - v) * m + v for a, v in zip(adult["d_extra"], p["d_extra"]))
    return out


# ---- voxel_signal ----

@pytest.mark.parametrize("dirs, weights, fibre", [
    ([[1, 0, 0]], [1.0], E(-1.5)),
    ([[0, 1, 0]], [1.0], 0.55 + 0.45 * E(-0.6)),
    ([[2, 0, 0]], [1.0], E(-1.5)),  # directions are normalised
    ([[1, 0, 0], [0, 1, 0]], [2.0, 2.0], (E(-1.5) + 0.55 + 0.45 * E(-0.6)) / 2),
    (np.zeros((0, 3)), [], E(-0.9)),
    ([[1, 0, 0]], [1e-13], E(-0.9)),
    ([[1, 0, 0], [0, 1, 0]], [1.0, -1.0], E(-0.9)),  # negative weights are kept
    ([[0, 0, 0]], [1.0], 0.55 + 0.45 * E(-0.6)),  # a zero direction
])
def test_voxel_signal_neonatal_examples(dirs, weights, fibre):
    f, g, c = core.voxel_signal(B1, X, np.array(dirs, float).reshape(-1, 3), np.array(weights, float), 1.0, 1.0, 1.0, {})
    assert all(a.dtype == np.float64 and a.shape == (1,) for a in (f, g, c))
    assert f[0] == pytest.approx(fibre, rel=4 * 2**-52)
    assert g[0] == pytest.approx(0.15 * E(-0.3) + 0.85 * E(-1.2), rel=4 * 2**-52)
    assert c[0] == pytest.approx(E(-3), rel=4 * 2**-52)


@pytest.mark.parametrize("bvecs, dirs, weights, params, message", [
    (np.zeros((2, 3)), X, np.ones(1), {}, "bvecs: expected 1 values, got 2"),
    (X, np.zeros((2, 2)), np.ones(2), {}, "dirs must have shape (n, 3), got [2, 2]"),
    (X, np.zeros((2, 3)), np.ones(4)[::2], {}, "The given array is not contiguous or is misaligned."),
    (X, np.zeros((2, 3)), np.ones(1), {}, "weights: expected 2 values, got 1"),
    (X, np.zeros((2, 3)), np.ones(2), {"b_value": "1000"}, "b_value: expected a number"),
])
def test_voxel_signal_errors_in_order(bvecs, dirs, weights, params, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        core.voxel_signal(B1, bvecs, dirs, weights, 1.0, 1.0, 1.0, params)


# ---- signal_from_mixture ----

DIMS, NVOX = (4, 4, 3), 48


def random_mixture(rng, params=None):
    voxel = rng.integers(0, NVOX, 60).astype(np.uint32)
    voxel[voxel == 5] = 6  # voxel 5 keeps no fibre support
    wm, gm, csf = (rng.random(NVOX).astype(np.float32) for _ in range(3))
    wm[5] = 0.6
    mask = np.ones(NVOX, np.float32)
    mask[int(voxel[0])] = 0.0  # a voxel with orientation mass outside the mask
    dirs, weights = rng.normal(size=(60, 3)), rng.random(60) + 0.1
    return core.mixture_from_fibers(DIMS, voxel, dirs, weights, wm, gm, csf, mask, params or {}, sphere_level=2)


def scheme(rng, n=12):
    return np.concatenate([[0.0, 30.0], rng.choice([500.0, 1000.0, 2000.0], n - 2)]), rng.normal(size=(n, 3))


def series(images, vox, ngrad):
    return [img[vox * ngrad : (vox + 1) * ngrad] for img in images]


def per_voxel(mix):
    odf, verts = mix.odf().reshape(NVOX, mix.nvert), mix.sphere_vertices().reshape(-1, 3)
    for vox, (w, g, c) in enumerate(zip(*mix.fractions())):
        nz = odf[vox] != 0
        yield vox, verts[nz], odf[vox][nz].astype(float), float(w), float(g), float(c)


def field_on(dims, scale):
    affine = np.diag([25.0, 25.0, 25.0, 1.0])
    affine[:3, 3] = (-40.0, -30.0, 20.0)
    return core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300").scaled(scale), dims, affine)


def test_signal_from_mixture_matches_voxel_signal_with_myelin(rng):
    mix = random_mixture(rng)
    myelin = rng.random(NVOX).astype(np.float32)
    myelin[:6] = [0.0, 0.0005, 0.001, 0.0011, 1.0, 0.001]
    bvals, bvecs = scheme(rng)
    plain = core.signal_from_mixture(mix, bvals, bvecs)
    assert (plain.n_compartments, plain.ngrad, plain.dims, plain.t2) == (3, 12, DIMS, [180.0, 220.0, 2500.0])
    comp = core.signal_from_mixture(mix.with_myelin(myelin), bvals, bvecs)
    assert comp.t2 == plain.t2
    odf_mass = mix.odf().reshape(NVOX, -1).sum(axis=1)
    outside = np.flatnonzero(np.sum(mix.fractions(), axis=0) == 0)
    assert outside.size and odf_mass[outside].sum() > 0 and odf_mass[5] == 0
    for vox, dirs, weights, wm, gm, csf in per_voxel(mix):
        for m, images in ((0.0, plain.images()), (float(myelin[vox]), comp.images())):
            p = adjusted(NEONATAL, m) if m > np.float32(0.001) else NEONATAL
            ref = core.voxel_signal(bvals, bvecs, dirs, weights, wm, gm, csf, p)
            for out, r in zip(series(images, vox, 12), ref):
                np.testing.assert_allclose(out, r, rtol=3e-7, atol=1e-30)


def test_field_distorts_each_voxel_gradient(rng):
    myelin = rng.random(NVOX).astype(np.float32)
    myelin[:6] = [0.0, 0.0005, 0.002, 0.5, 1.0, 0.0005]  # voxel 5: fallback with a sub-threshold myelin
    mix = random_mixture(rng).with_myelin(myelin)
    field = field_on(DIMS, 3.0)
    jac = field.graddev(np.eye(4)).reshape(NVOX, 3, 3).astype(float)  # J itself in world axes
    assert np.abs(jac - np.eye(3)).max() > 0.01
    bvals, bvecs = scheme(rng)
    images = core.signal_from_mixture(mix, bvals, bvecs, field).images()
    b_max = bvals.max()
    qs = [np.zeros(3) if b < 50 else math.sqrt(b / b_max) * g / np.linalg.norm(g) for b, g in zip(bvals, bvecs)]
    for vox, dirs, weights, wm, gm, csf in per_voxel(mix):
        p = adjusted(NEONATAL, float(myelin[vox]))
        d_iso = np.mean(p["d_extra"] if myelin[vox] > np.float32(0.001) else NEONATAL["d_extra"])
        for k, (fib, g, c) in enumerate(zip(*series(images, vox, 12))):
            qe = jac[vox].T @ qs[k]
            ref_g, ref_c = ref_gm_csf(qe, NEONATAL)
            expect = [wm * ref_fibre(dirs, weights, qe, p, d_iso), gm * ref_g, csf * ref_c] if wm + gm + csf > 0 else [0, 0, 0]
            np.testing.assert_allclose([fib, g, c], expect, rtol=1e-6, atol=1e-30)


def test_unweighted_fibre_signal_is_wm_times_intra_plus_extra(rng):
    # Every preset has intra + extra = 1; here they sum to 0.8 (0.9 after myelin 0.5 moves them
    # toward the adult 0.55 + 0.45), and only a fibreless voxel's isotropic fallback gives wm; grey matter and CSF
    # keep their fractions. b = 40 is unweighted too.
    p, bvals, bvecs = {"intra_frac": 0.3, "extra_frac": 0.5}, np.array([0.0, 40.0, 1000.0]), np.tile(X, (3, 1))
    f, fallback = (core.voxel_signal(bvals, bvecs, d, w, 0.7, 0.2, 0.1, p) for d, w in ((X, np.ones(1)), (X[:0], np.ones(0))))
    np.testing.assert_allclose([f[0][:2], fallback[0][:2], f[1][:2], f[2][:2]], np.repeat([[0.7 * 0.8], [0.7], [0.2], [0.1]], 2, 1),
                               rtol=1e-15)
    mix = random_mixture(rng, p)
    wm, fed = mix.fractions()[0], mix.odf().reshape(NVOX, -1).sum(1) > 0
    for m, sum_fracs in ((None, 0.8), (0.5, 0.9)):
        m_mix = mix if m is None else mix.with_myelin(np.full(NVOX, m, np.float32))
        for gnl in (None, field_on(DIMS, 3.0)):
            fibre = core.signal_from_mixture(m_mix, bvals, bvecs, gnl).images()[0].reshape(NVOX, 3)
            np.testing.assert_allclose(fibre[:, :2], np.c_[wm, wm] * np.where(fed, sum_fracs, 1.0)[:, None], rtol=1e-7)


@pytest.mark.parametrize("kappa", [None, 8.0])  # about 2 and about 290 vertices per voxel
def test_tabulated_fibre_is_the_sequential_sum_bit_for_bit(rng, kappa):
    # Whatever the vector width or grouping of voxels, the bits are those of the plain float64 sum over
    # the voxel's non-zero masses in vertex order, divided by their sum and scaled by wm.
    dims, nvox, n, ngrad = (14, 12, 10), 1680, 4000, 30
    mix = core.mixture_from_fibers(dims, rng.integers(0, nvox, n).astype(np.uint32), rng.normal(size=(n, 3)),
                                   rng.random(n), *(rng.random(nvox).astype(np.float32) for _ in range(3)),
                                   (rng.random(nvox) > 0.1).astype(np.float32), {}, kappa=kappa)
    bvals, bvecs = rng.choice([0.0, 1000.0, 2000.0], ngrad), rng.normal(size=(ngrad, 3))
    table = [core.voxel_signal(bvals, bvecs, v[None], np.ones(1), 1.0, 0.0, 0.0, {})[0]
             for v in mix.sphere_vertices().reshape(-1, 3)]
    odf = mix.odf().reshape(nvox, -1).astype(float)
    s, w_sum = np.zeros((nvox, ngrad)), np.zeros(nvox)
    for j, t in enumerate(table):
        has = odf[:, j] != 0
        s[has] += odf[has, j, None] * t
        w_sum[has] += odf[has, j]
    fed = w_sum > 1e-12
    assert fed.sum() > 1000
    expect = (s[fed] / w_sum[fed, None] * mix.fractions()[0][fed, None].astype(float)).astype(np.float32)
    got = core.signal_from_mixture(mix, bvals, bvecs).images()[0].reshape(nvox, ngrad)[fed]
    assert got.tobytes() == expect.tobytes()


def test_empty_schemes_and_signal_from_mixture_errors(rng):
    comp = core.signal_from_mixture(random_mixture(rng, {"preset": "adult"}), np.zeros(0), np.zeros((0, 3)))
    assert (comp.ngrad, comp.n_compartments, comp.dims, comp.t2) == (0, 3, DIMS, [68.0, 76.0, 2000.0])
    assert all(i.size == 0 for i in comp.images())
    out = core.voxel_signal(np.zeros(0), np.zeros((0, 3)), X, np.array([1.0]), 1.0, 1.0, 1.0, {})
    assert isinstance(out, tuple) and all(a.dtype == np.float64 and a.size == 0 for a in out)
    mix, other = random_mixture(rng), field_on((4, 4, 2), 1.0)
    with pytest.raises(ValueError, match=re.escape("GNL field grid [4, 4, 2] != mixture grid [4, 4, 3]")):
        core.signal_from_mixture(mix, B1, X, other)
    with pytest.raises(ValueError, match=re.escape("bvecs: expected 1 values, got 2")):  # the scheme comes first
        core.signal_from_mixture(mix, B1, np.zeros((2, 3)), other)
    with pytest.raises(TypeError, match="'GradCoef' object is not an instance of 'GnlField'") as e:
        core.signal_from_mixture(mix, B1, X, gnl=core.GradCoef.from_spec("whole-body-80"))
    assert "while processing 'gnl'" in e.value.__notes__


DETERMINISM = """
import hashlib, numpy as np, quorvel._core as core
def digest(*arrays):
    return hashlib.sha256(b"".join(a.tobytes() for a in arrays)).hexdigest()
rng = np.random.default_rng(7)
dims, n = (21, 17, 13), 15000
# 1.5 million 0.5 mm segments, most inside the grid: more brick references than one batch of 2**20 holds.
lines = (np.cumsum(rng.normal(0, 0.3, (n, 100, 3)), axis=1) + rng.uniform(0, dims, (n, 1, 3))).reshape(-1, 3)
inside = ((lines >= 0) & (lines < dims)).all(axis=1).reshape(n, 100)
print("segments reaching the grid > 2**20:", (inside[:, 1:] | inside[:, :-1]).sum() > 2**20)
maps = [rng.random(np.prod(dims), dtype=np.float32) for _ in range(4)]
for kappa in (None, 20.0):
    mix = core.build_mixture(dims, *maps, np.eye(4), lines, np.arange(0, 100 * n + 1, 100, dtype=np.uint32),
                             rng.uniform(-0.5, 2, n).astype(np.float32), {}, kappa=kappa)
    print("build_mixture kappa", kappa, digest(mix.odf(), mix.fallback(), *mix.fractions()))
dims, nvox, n = (13, 11, 9), 1287, 4000
mix = core.mixture_from_fibers(dims, rng.integers(0, nvox, n).astype(np.uint32), rng.normal(size=(n, 3)), rng.random(n),
    *(rng.random(nvox).astype(np.float32) for _ in range(3)), (rng.random(nvox) > 0.1).astype(np.float32), {}, kappa=8.0)
mix = mix.with_myelin(rng.random(nvox).astype(np.float32) * (rng.random(nvox) > 0.5))
print("scalars", digest(*mix.scalars()))
bvals, bvecs, aff = rng.choice([0.0, 1000.0, 2000.0], 30), rng.normal(size=(30, 3)), np.diag([12.0, 12.0, 12.0, 1.0])
aff[:3, 3] = (-80.0, -70.0, -60.0)
for gnl in (None, core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), dims, aff)):
    print("signal_from_mixture gnl", gnl is not None, digest(*core.signal_from_mixture(mix, bvals, bvecs, gnl).images()))
offsets = np.concatenate([[0], np.cumsum(rng.integers(1, 12, 40))]).astype(np.uint32)
poses = np.column_stack([rng.uniform(-2, 2, (30, 3)), rng.uniform(-5, 5, (30, 3))])
print("signal_moving", digest(*core.signal_moving(dims, *(rng.random(nvox, dtype=np.float32) for _ in range(4)), aff,
                                                  rng.uniform(-90, 90, (int(offsets[-1]), 3)), offsets, bvals, bvecs, {}, poses).images()))
"""


def test_builds_scalars_and_signal_independent_of_thread_count():
    # One and four threads cut the build's grid into different bricks, partial ones in both. The pool splits the
    # voxel loops by thread count (the moving signal its volumes); an odd voxel count keeps its blocks off the signal's
    # groups of four voxels.
    plans = [brick_plan((21, 17, 13), 321, t) for t in (1, 4)]
    assert plans[0] != plans[1] and all(any(d % s for d, s in zip((21, 17, 13), size)) for size, _ in plans)
    out = thread_counts_agree(DETERMINISM)
    assert len(out) == 7 and out[0] == "segments reaching the grid > 2**20: True"
