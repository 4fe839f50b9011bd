"""Closed-form ground-truth scalars: `voxel_truth` against closed forms and NumPy references built
from the voxel's explicit Gaussian compartments, and `Mixture.scalars` against `voxel_truth`."""
import itertools
import math

import numpy as np
import pytest

import quorvel._core as core
from conftest import raises

NAMES = core.scalar_names()
TAU = 1 / (4 * math.pi**2)
COHERENT_ODI = 2 / math.pi * math.atan(0.001)


def preset(**changes):
    return {**core.tissue_preset("neonatal"), **changes}


def truth(dirs, weights, wm=1.0, gm=0.0, csf=0.0, params=None, **opts):
    r = core.voxel_truth(np.asarray(dirs, float).reshape(-1, 3), np.asarray(weights, float), wm, gm, csf,
                         preset() if params is None else params, **opts)
    assert r.dtype == np.float64 and r.shape == (27,)
    return dict(zip(NAMES, r))


# ---- NumPy references: the voxel as explicit Gaussian compartments ----


def compartments(dirs, weights, wm, gm, csf, p):
    """(weight, tensor, kind, axis): the sticks, then the zeppelins, then the three balls."""
    wm, gm, csf = np.array([wm, gm, csf]) / (wm + gm + csf)
    dirs = np.asarray(dirs, float)
    dirs = dirs / np.linalg.norm(dirs, axis=1, keepdims=True)
    q = np.asarray(weights, float) / np.sum(weights)
    di, dp, r = p["d_intra"], p["d_extra"][1], p["gm_restricted_frac"]
    out = [(p["intra_frac"] * wm * w, di * np.outer(n, n), "stick", n) for n, w in zip(dirs, q)]
    out += [(p["extra_frac"] * wm * w, dp * np.eye(3) + (di - dp) * np.outer(n, n), "zeppelin", n) for n, w in zip(dirs, q)]
    return out + [(f, d * np.eye(3), "ball", None) for f, d in [((1 - r) * gm, p["d_gm"]), (r * gm, p["d_soma"]), (csf, p["d_csf"])]]


def sphere_grid(nt=300):
    """Equal-area midpoint grid: nt cells in cos(theta) by 2*nt in phi."""
    ct = -1 + (np.arange(nt) + 0.5) * 2 / nt
    ph = (np.arange(2 * nt) + 0.5) * np.pi / nt
    st = np.sqrt(1 - ct**2)[:, None]
    return np.stack(np.broadcast_arrays(st * np.cos(ph), st * np.sin(ph), ct[:, None]), -1).reshape(-1, 3)


SPHERE = sphere_grid()


def dki_reference(w, ts):
    """DTI from NumPy's eigen-decomposition; kurtosis as sphere and circle averages of the apparent
    kurtosis 3*Var(n'Tn)/D(n)^2 of the mixture, kfa from the full 81-entry tensor."""
    dbar = np.einsum("k,kij->ij", w, ts)
    lam, vec = np.linalg.eigh(dbar)
    md, e1 = lam.mean(), vec[:, 2]

    def spread(n):  # D(n) and Var(n) over the compartments
        q = np.einsum("ni,kij,nj->kn", n, ts, n, optimize=True)
        return w @ q, w @ q**2 - (w @ q) ** 2

    def kurtosis(n):
        d, var = spread(n)
        return 3 * var / d**2

    plane = np.linalg.qr(np.column_stack([e1, np.eye(3)[:, :2]]))[0][:, 1:]
    ph = (np.arange(2000) + 0.5) * np.pi / 1000
    ring = np.cos(ph)[:, None] * plane[:, 0] + np.sin(ph)[:, None] * plane[:, 1]
    sym = lambda c: (c + np.einsum("ikjl->ijkl", c) + np.einsum("iljk->ijkl", c)) / 3  # noqa: E731
    cov = np.einsum("k,kij,klm->ijlm", w, ts, ts) - np.einsum("ij,kl->ijkl", dbar, dbar)
    wt, iso = 3 * sym(cov) / md**2, sym(np.einsum("ij,kl->ijkl", np.eye(3), np.eye(3)))
    mkt = 3 * spread(SPHERE)[1].mean() / md**2
    clip = lambda k, hi=10.0: min(max(k, -3 / 7), hi)  # noqa: E731
    return dict(fa=math.sqrt(1.5 * ((lam - md) ** 2).sum() / (lam**2).sum()), md=md, rd=(lam[0] + lam[1]) / 2,
                ad=lam[2], mk=clip(kurtosis(SPHERE).mean(), 3.0), ak=clip(kurtosis(e1[None])[0]),
                rk=clip(kurtosis(ring).mean()), mkt=clip(mkt), kfa=np.linalg.norm(wt - mkt * iso) / np.linalg.norm(wt))


def qti_reference(w, ts):
    """QTI from the compartments' own eigenvalues."""
    lam = np.linalg.eigvalsh(ts)
    ld = np.linalg.eigvalsh(np.einsum("k,kij->ij", w, ts))
    a, b, md = w @ (lam**2).sum(1) / 3, w @ lam.mean(1) ** 2, ld.mean()
    ufa2, fa2 = 1.5 * (a - b) / a, 1.5 * ((ld - md) ** 2).sum() / (ld**2).sum()
    v_bulk = b - md**2
    return dict(micro_fa=math.sqrt(ufa2), coherence=min(1.0, fa2 / ufa2), k_bulk=3 * v_bulk / md**2,
                k_shear=1.2 * (a - (ld**2).sum() / 3 - v_bulk) / md**2)


def propagator_reference(comps, tau, floor):
    """MAP-MRI maps from the Gaussian propagators (covariance 2*tau*T), sticks widened to `floor`."""
    dbar = sum(w * t for w, t, *_ in comps)
    e1 = np.linalg.eigh(dbar)[1][:, 2]
    plane = np.linalg.qr(np.column_stack([e1, np.eye(3)[:, :2]]))[0][:, 1:]
    out = dict(rtop=0.0, rtap=0.0, rtpp=0.0, qiv=0.0)
    for w, t, kind, n in comps:
        if kind == "stick":
            t = floor * np.eye(3) + (np.trace(t) - floor) * np.outer(n, n)
        s = 2 * tau * t
        density = w / math.sqrt(np.linalg.det(2 * np.pi * s))
        out["rtop"] += density
        out["rtap"] += w / (2 * np.pi * math.sqrt(np.linalg.det(plane.T @ s @ plane)))
        out["rtpp"] += w / math.sqrt(2 * np.pi * e1 @ s @ e1)
        out["qiv"] += density * np.trace(np.linalg.inv(s))
    return {**out, "qiv": 4 * np.pi**2 / out["qiv"], "msd": 2 * tau * np.trace(dbar)}


def ng_reference(comps, p, floor, top_k):
    """Non-Gaussianity and propagator anisotropy from the pair sums of the kept Gaussians."""
    nv = sum(c[2] == "stick" for c in comps)
    key = np.array([comps[j][0] + comps[nv + j][0] for j in range(nv)])
    keep = [j for j in np.argsort(-key, kind="stable")[:top_k] if key[j] > 0]
    a, per = max(p["d_intra"], floor), max(p["d_extra"][1], floor)
    axial = lambda par, perp, n: perp * np.eye(3) + (par - perp) * np.outer(n, n)  # noqa: E731
    cs = [(comps[j][0], axial(a, floor, comps[j][3])) for j in keep]
    cs += [(comps[nv + j][0], axial(a, per, comps[j][3])) for j in keep]
    cs = [(w, t) for w, t in cs + [(w, max(t[0, 0], floor) * np.eye(3)) for w, t, *_ in comps[2 * nv:]] if w > 1e-6]
    pi = np.array([w for w, _ in cs]) / sum(w for w, _ in cs)
    ts = np.array([t for _, t in cs])
    tbar = np.einsum("k,kij->ij", pi, ts)
    lam, vec = np.linalg.eigh(tbar)
    e1, plane = vec[:, 2], np.linalg.qr(np.column_stack([vec[:, 2], np.eye(3)[:, :2]]))[0][:, 1:]

    det = np.linalg.det

    def sine(basis):  # the det^(-1/2) inner products of the Gaussians projected onto the basis
        x, xbar = basis.T @ ts @ basis, basis.T @ tbar @ basis
        s = pi @ det(x[:, None] + x[None]) ** -0.5 @ pi
        return math.sqrt(max(0.0, 1 - (pi @ det(x + xbar) ** -0.5) ** 2 / (s * det(2 * xbar) ** -0.5)))

    roots = np.roots([1, lam.sum() / 3, -(lam[0] * lam[1] + lam[0] * lam[2] + lam[1] * lam[2]) / 3, -lam.prod()])
    u = roots[np.abs(roots.imag) < 1e-12 * np.abs(roots).max()].real.max()
    return dict(ng=sine(np.eye(3)), ngpar=sine(e1[:, None]), ngperp=sine(plane),
                pa=math.sqrt(max(0.0, 1 - (1 / det(tbar + u * np.eye(3))) / ((2 * u) ** -1.5 * det(2 * tbar) ** -0.5))))


def watson_odi(l1):
    """odi through the Watson table: mean cos^2 at 241 log-spaced kappa in [1e-3, 1e3] by Simpson's
    rule on 512 intervals, interpolated linearly in ln kappa."""
    kappa = 0.001 * (1000 / 0.001) ** (np.arange(241) / 240)
    t, simpson = np.linspace(0, 1, 513), np.r_[1, np.tile([4, 2], 255), 4, 1]
    e = simpson * np.exp(kappa[:, None] * (t * t - 1))
    c = (e * t * t).sum(1) / e.sum(1)
    if l1 <= c[0]:
        return 1.0
    k = 1000.0 if l1 >= c[-1] else math.exp(np.interp(l1, c, np.log(kappa)))
    return 2 / math.pi * math.atan(1 / k)


def gqi_noddi_reference(comps, dirs, weights, wm, gm, csf, p):
    nv = len(dirs)
    fib = np.array([comps[j][0] + comps[nv + j][0] for j in range(nv)])  # sums to the fibre fraction
    psi = fib + (1 - fib.sum()) / nv
    denom = (nv - 1) * (psi**2).sum()
    out = dict(gfa=math.sqrt(nv * ((psi - psi.mean()) ** 2).sum() / denom) if denom > 0 else 0.0, qa=np.ptp(psi),
               icvf=0.0, odi=0.0, isovf=csf / (wm + gm + csf))
    if p["intra_frac"] > 0:
        n = np.asarray(dirs) / np.linalg.norm(dirs, axis=1, keepdims=True)
        l1 = np.linalg.eigvalsh(np.einsum("k,ki,kj->ij", np.asarray(weights) / np.sum(weights), n, n))[-1]
        out.update(icvf=p["intra_frac"] * wm / (wm + gm), odi=watson_odi(l1))
    return out


def random_voxel(rng, nfib):
    return rng.normal(size=(nfib, 3)), rng.uniform(0.2, 1.0, nfib), rng.uniform(0.5, 1), rng.uniform(0, 0.3), rng.uniform(0, 0.2)


# Relative tolerances: the sphere quadrature is good to ~1e-6; the Carlson series carry ~1e-4 and,
# within 2.5 % of equal eigenvalues, mk's equal-eigenvalue forms stand in for the general ones;
# odi sums the table's Simpson rule in another order; the sines of the non-Gaussianity are square
# roots of 1 - (1 - ~1e-16), hence their absolute 1e-7. Everything else is exact up to rounding.
TOL = dict(mk=(5e-3, 0), mkt=(1e-5, 0), odi=(1e-12, 0), **dict.fromkeys(["ng", "ngpar", "ngperp", "pa"], (1e-7, 1e-7)))


@pytest.mark.parametrize("params", [preset(), preset(intra_frac=0.0), preset(d_extra=(0.0015, 1e-4, 1e-4))])
def test_every_map_against_numpy_references(rng, params):
    shaped = [(np.eye(3)[:2], [1.0, 0.99]),        # lambda1 close to lambda2
              (np.eye(3), [1.0, 0.99, 0.98]),      # nearly isotropic
              (np.eye(3), [1.0, 0.0, 0.5]),        # a silent vertex
              (rng.normal(size=(4, 3)), [1.0] * 4)]  # equal weights: ng_top_k = 2 keeps the lower indices
    voxels = [random_voxel(rng, n) for n in (1, 2, 3, 5)] + [(d, w, 1.0, 0.2, 0.1) for d, w in shaped]
    for voxel, top_k in zip(voxels, [28, 0, 1, 3, 28, 28, 28, 2]):
        tau, floor, ng_floor = rng.uniform(0.01, 0.08), rng.uniform(1e-4, 4e-4), rng.uniform(1e-4, 8e-4)
        t = truth(*voxel, params=params, tau=tau, d_perp_floor=floor, ng_floor=ng_floor, ng_top_k=top_k)
        comps = compartments(*voxel, params)
        w, ts = np.array([c[0] for c in comps]), np.array([c[1] for c in comps])
        ref = {**dki_reference(w, ts), **qti_reference(w, ts), **propagator_reference(comps, tau, floor),
               **ng_reference(comps, params, ng_floor, top_k), **gqi_noddi_reference(comps, *voxel, params)}
        for name in NAMES:
            assert t[name] == pytest.approx(ref[name], *TOL.get(name, (1e-9, 1e-12))), name


@pytest.mark.parametrize("eps", [0.0, 1e-12, 3e-8, 5e-8, 1e-7, 1e-5, 1e-3])
def test_radial_kurtosis_is_the_ring_average_near_equal_radial_eigenvalues(eps):
    # lambda2 - lambda3 grows with eps from 0; the ring average of the apparent kurtosis converges
    # geometrically in the number of ring points, so rk must match it to rounding at every gap
    voxel = (np.eye(3)[:2], [1 - eps, eps], 0.6, 0.4, 0.0)
    comps = compartments(*voxel, preset())
    ref = dki_reference(np.array([c[0] for c in comps]), np.array([c[1] for c in comps]))
    assert truth(*voxel)["rk"] == pytest.approx(ref["rk"], rel=1e-12)


@pytest.mark.parametrize("present", itertools.product([0, 1], repeat=5))
def test_propagator_maps_sum_only_present_terms(present):
    # Sticks, zeppelins, free grey matter, soma, CSF: an absent term has weight 0 and zero width (no
    # stick floor, no zeppelin d_perp, a ball of D = 0), where its closed form alone is 0/0 or 0*inf.
    intra, extra, free, soma, csf = present
    p = preset(intra_frac=0.6 * intra, extra_frac=0.4 * extra, d_extra=(0.0015, 6e-4 * extra, 6e-4), d_csf=0.003 * csf,
               gm_restricted_frac=0.15 if free and soma else float(soma), d_gm=0.0012 * free, d_soma=3e-4 * soma)
    voxel = (np.eye(3)[:2], [0.7, 0.3], 1.0, 0.3 * (free or soma), 0.2 * csf)  # the lighter fibre lies across e1
    t = truth(*voxel, params=p, d_perp_floor=1.2e-4 * intra)
    comps = [c for c in compartments(*voxel, p) if c[0] > 0]
    ref = propagator_reference(comps, TAU, 1.2e-4 * intra) if comps else dict(rtop=0, rtap=0, rtpp=0, msd=0, qiv=math.inf)
    assert [t[k] for k in ref] == pytest.approx(list(ref.values()), rel=1e-9)


# ---- closed forms ----


def two_balls(r, d_soma):
    p = preset(gm_restricted_frac=r, d_soma=d_soma)
    f, d = np.array([1 - r, r]), np.array([p["d_gm"], d_soma])
    k = 3 * (f @ d**2 - (f @ d) ** 2) / (f @ d) ** 2  # kurtosis of an isotropic Gaussian mixture
    return p, dict(fa=0, kfa=0, micro_fa=0, k_shear=0, ak=k, rk=k, mkt=k, k_bulk=k, mk=min(k, 3.0), icvf=0, odi=0, isovf=0)


D_BALL, X_BALL = 0.003, 4 * math.pi * TAU * 0.003


@pytest.mark.parametrize("dirs, weights, fractions, params, expected", [
    # pure CSF: one ball
    ([[0, 0, 1]], [1.0], (0, 0, 2), preset(), {**dict.fromkeys(NAMES, 0.0), **dict(
        md=D_BALL, rd=D_BALL, ad=D_BALL, isovf=1.0, rtop=X_BALL**-1.5, rtap=1 / X_BALL, rtpp=X_BALL**-0.5,
        msd=6 * TAU * D_BALL, qiv=4 * math.pi**2 * (2 * math.pi * 2 * TAU * D_BALL) ** 1.5 * 2 * TAU * D_BALL / 3)}),
    # pure grey matter: two balls; in the second case k > 3, which mk reports as 3 and ak, rk keep
    ([[1, 0, 0]], [1.0], (0, 1, 0), *two_balls(0.15, 0.0003)),
    ([[1, 0, 0]], [1.0], (0, 1, 0), *two_balls(0.8, 0.0001)),
    # one stick (of any weight) and nothing else: kurtosis forms off below 2e-7
    ([[0.3, -1, 2]], [2.5], (1, 0, 0), preset(intra_frac=1.0, extra_frac=0.0),
     dict(micro_fa=1, coherence=1, fa=1, k_bulk=0, ak=0, rk=0, mk=0, icvf=1.0, odi=COHERENT_ODI, ng=0)),
    ([[0.3, -1, 2]], [2.5], (1, 0, 0), preset(intra_frac=0.4, extra_frac=0.0),
     dict(micro_fa=1, coherence=1, fa=1, k_bulk=4.5, icvf=0.4, odi=COHERENT_ODI, ng=0)),
    (np.eye(3), [1, 1, 1], (1, 0, 0), preset(intra_frac=1.0, extra_frac=0.0), dict(micro_fa=1, coherence=0, fa=0, odi=1.0)),
    # no fibre weight: the white matter is a ball of the mean zeppelin eigenvalue
    (np.eye(3)[:2], [0, 0], (1, 0, 0), preset(), dict(fa=0, md=0.0009, icvf=0, odi=0, gfa=0, qa=0)),
    (np.eye(3)[:2], [1e-13, 0], (1, 0, 0), preset(), dict(fa=0, md=0.0009, icvf=0, odi=0, gfa=0, qa=0)),
    (np.zeros((0, 3)), [], (1, 0, 0), preset(), dict(gfa=0, qa=-math.inf)),
])
def test_closed_forms(dirs, weights, fractions, params, expected):
    t = truth(dirs, weights, *fractions, params=params)
    for name, value in expected.items():
        assert t[name] == pytest.approx(value, rel=1e-9, abs=0 if value else 1e-7), name


def test_options_default():
    # Fraction normalisation is part of every reference comparison above.
    a = truth([[1, 0, 0], [0, 1, 1]], [0.6, 0.4], 0.6, 0.3, 0.1)
    for opts in (dict(tau=TAU, d_perp_floor=0.00012, ng_floor=0.00012, ng_top_k=28), dict.fromkeys(["tau", "ng_top_k"])):
        assert truth([[1, 0, 0], [0, 1, 1]], [0.6, 0.4], 0.6, 0.3, 0.1, **opts) == a


@pytest.mark.parametrize("key", "d_intra d_extra intra_frac extra_frac d_gm d_soma d_csf gm_restricted_frac".split())
def test_nan_parameters_reach_exactly_the_maps_that_read_them(key):
    # Each of these parameters enters the mean tensor and the propagator sums, so the maps read off
    # them are NaN. A NaN fails the tests that guard the others, which give their stated values:
    # ak, rk, mk need eigenvalues > 2e-7, kfa needs mkt > 1e-8, micro_fa a variance > 0, the
    # non-Gaussianity a weight > 1e-6 and a pair sum > 0; gfa, qa, icvf and odi read only the fibre
    # weights, isovf only csf. It must finish too: NaN reaches the eigen-solver and the vertex ranking.
    voxel = (np.eye(3), [1.0, 0.5, 0.25], 0.7, 0.2, 0.1)
    t, clean = truth(*voxel, params=preset(**{key: (math.nan,) * 3 if key == "d_extra" else math.nan})), truth(*voxel)
    assert {n for n in NAMES if math.isnan(t[n])} == set("fa md rd ad mkt k_bulk k_shear rtop rtap rtpp msd qiv".split())
    assert all(t[n] == 0 for n in "ak rk mk kfa micro_fa coherence".split())
    unread = {"intra_frac": "isovf", "extra_frac": "icvf odi isovf"}.get(key, "gfa qa icvf odi isovf")
    assert all(t[n] == clean[n] for n in unread.split())


# ---- errors ----

DIRS, W2 = np.eye(3)[:2].copy(), np.array([0.5, 0.5])
ONE = np.ones(1, np.float32)
SMALL = core.mixture_from_fibers((1, 1, 1), np.zeros(1, np.uint32), np.eye(3)[:1], np.ones(1), ONE, 0 * ONE, 0 * ONE, ONE, {})
POSITIVE = "fractions must sum to a positive value"


def voxel_truth_with(**changes):
    kwargs = {"dirs": DIRS, "weights": W2, "wm": 1.0, "gm": 0.0, "csf": 0.0, "params": {}, **changes}
    return lambda: core.voxel_truth(**kwargs)


@pytest.mark.parametrize("call, error, text", [
    (voxel_truth_with(gm=-1.0), ValueError, POSITIVE),
    (voxel_truth_with(wm=math.nan), ValueError, POSITIVE),
    # checked in order: dirs, weights, params, fractions
    (voxel_truth_with(dirs=DIRS[:, :2].copy(), weights=np.ones(3), wm=0.0), ValueError, "dirs must have shape (n, 3), got [2, 2]"),
    (voxel_truth_with(weights=np.ones(3), params={"d_gm": "x"}, wm=0.0), ValueError, "weights: expected 2 values, got 3"),
    (voxel_truth_with(params={"d_gm": "x"}, wm=0.0), ValueError, "d_gm: expected a number"),
    (voxel_truth_with(dirs=DIRS.astype(np.float32)), TypeError, "while processing 'dirs'"),
    (voxel_truth_with(weights=[0.5, 0.5]), TypeError, "while processing 'weights'"),
    (voxel_truth_with(wm="one"), TypeError, "while processing 'wm'"),
    (voxel_truth_with(params=[("d_gm", 0.001)]), TypeError, "while processing 'params'"),
    (voxel_truth_with(tau="x"), TypeError, "while processing 'tau'"),
    (voxel_truth_with(ng_top_k=2.5), TypeError, "while processing 'ng_top_k'"),
    (voxel_truth_with(ng_top_k=-1), OverflowError, "while processing 'ng_top_k'"),
    (lambda: SMALL.scalars(d_perp_floor=[1.0]), TypeError, "while processing 'd_perp_floor'"),
    (lambda: SMALL.scalars(ng_floor=object()), TypeError, "while processing 'ng_floor'"),
])
def test_errors(call, error, text):
    raises(error, text, call)


# ---- Mixture.scalars ----


def fibre_mixture(rng, nfib=2, kappa=8.0, params=None, dims=(4, 3, 2)):
    nvox = int(np.prod(dims))
    f32 = lambda lo, hi: rng.uniform(lo, hi, nvox).astype(np.float32)  # noqa: E731
    return core.mixture_from_fibers(dims, np.repeat(np.arange(nvox, dtype=np.uint32), nfib), rng.normal(size=(nvox * nfib, 3)),
                                    rng.uniform(0.2, 1.0, nvox * nfib), f32(0.3, 1), f32(0, 0.4), f32(0, 0.3),
                                    np.ones(nvox, np.float32), params or preset(), kappa=kappa)


def assert_maps_match_voxel_truth(mix, maps, voxels, params, **opts):
    """Each voxel's maps against `voxel_truth` with the hemisphere vertices as directions and the
    voxel's odf row as weights."""
    verts, odf = mix.sphere_vertices().reshape(-1, 3), mix.odf().reshape(-1, mix.nvert).astype(float)
    fr = mix.fractions()
    ref = np.array([core.voxel_truth(verts, odf[v], *(float(f[v]) for f in fr), params, **opts) for v in voxels])
    got = np.array([[m[v] for m in maps] for v in voxels])
    # float32 maps; the one-voxel path rounds its inputs differently by an ulp or so, hence an
    # absolute floor at 1e-6 of each map's scale for values that are zero up to cancellation
    for s, name in enumerate(NAMES):
        np.testing.assert_allclose(got[:, s], ref[:, s], rtol=2e-6, atol=1e-6 * np.abs(ref[:, s]).max(), err_msg=name)


@pytest.mark.parametrize("kappa, nfib, opts", [
    (None, 1, {}), (None, 3, {}), (8.0, 2, {}), (30.0, 3, dict(tau=0.05, d_perp_floor=0.0002, ng_floor=0.0003, ng_top_k=5))])
def test_scalars_equal_voxel_truth_at_every_voxel(rng, kappa, nfib, opts):
    mix = fibre_mixture(rng, nfib, kappa)
    maps = mix.scalars(**opts)
    assert len(maps) == 27 and all(m.dtype == np.float32 and m.shape == (24,) for m in maps)
    assert_maps_match_voxel_truth(mix, maps, range(24), preset(), **opts)


def test_myelin_blends_toward_the_adult_preset(rng):
    p, adult = preset(intra_frac=0.7, extra_frac=0.3), core.tissue_preset("adult")
    mix = fibre_mixture(rng, params=p)
    m = np.linspace(0, 1, 24, dtype=np.float32)
    maps = mix.with_myelin(m).scalars()
    for v in (0, 7, 23):
        blend = {k: p[k] + (adult[k] - p[k]) * float(m[v]) for k in ("intra_frac", "extra_frac", "d_intra")}
        blend["d_extra"] = tuple(a + (b - a) * float(m[v]) for a, b in zip(p["d_extra"], adult["d_extra"]))
        assert_maps_match_voxel_truth(mix, maps, [v], {**p, **blend})
    zero = mix.with_myelin(np.zeros(24, np.float32)).scalars()
    assert all(np.array_equal(a, b) for a, b in zip(zero, mix.scalars()))


def test_unmasked_pure_csf_and_fallback_voxels():
    p = preset()
    f32 = lambda *v: np.array(v, np.float32)  # noqa: E731
    mix = core.mixture_from_fibers((3, 1, 1), np.zeros(0, np.uint32), np.zeros((0, 3)), np.zeros(0),
                                   f32(0, 0, 0.7), f32(0, 0, 0.3), f32(0, 1, 0), f32(0, 1, 1), p)
    assert list(mix.fallback()) == [0, 0, 1]
    maps = dict(zip(NAMES, mix.scalars()))
    assert all(maps[name][0] == 0.0 for name in NAMES)  # outside the mask, odi included
    assert [maps[n][1] for n in ("isovf", "icvf", "odi", "fa", "md")] == [1, 0, 0, 0, np.float32(p["d_csf"])]
    # white matter without fibres: an isotropic ball of the mean zeppelin eigenvalue
    assert (maps["icvf"][2], maps["odi"][2]) == (0, 0) and maps["fa"][2] == pytest.approx(0, abs=1e-7)
    assert maps["md"][2] == pytest.approx(0.7 * 0.0009 + 0.3 * (0.85 * p["d_gm"] + 0.15 * p["d_soma"]), rel=1e-6)


@pytest.mark.parametrize("total, fibres", [(1e-12, False), (2e-12, True)])
def test_odf_row_of_at_most_1e_12_is_a_fallback_ball(total, fibres):
    # Three float32 masses on three vertices whose float64 sum is exactly `total`: the builder flags
    # only sums below 1e-12, the ground truth also takes a sum of exactly 1e-12 as no fibre.
    masses = []
    for _ in range(3):
        masses.append(np.float32(total - sum(map(float, masses))))
    mix = core.mixture_from_fibers((1, 1, 1), np.zeros(3, np.uint32), SMALL.sphere_vertices().reshape(-1, 3)[[0, 5, 9]],
                                   np.array(masses, float), ONE, 0 * ONE, 0 * ONE, ONE, preset())
    assert mix.fallback()[0] == 0 and mix.odf().astype(float).sum() == total
    t = dict(zip(NAMES, (m[0] for m in mix.scalars())))
    assert (t["icvf"] > 0, t["fa"] > 0.1) == (fibres, fibres)


def test_empty_grid(rng):
    maps = fibre_mixture(rng, dims=(0, 2, 2)).scalars()
    assert len(maps) == 27 and all(m.shape == (0,) and m.dtype == np.float32 for m in maps)

