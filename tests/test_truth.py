"""Closed-form ground-truth scalars: `voxel_truth` against closed forms and NumPy references,
and `Mixture.scalars` against `voxel_truth`."""
import math
import re

import numpy as np
import pytest

import quorvel._core as core
from conftest import run_isolated

NAMES = core.scalar_names()
IDX = {n: i for i, n in enumerate(NAMES)}
TAU = 1.0 / (4.0 * math.pi**2)
COHERENT_ODI = 2.0 / math.pi * math.atan(0.001)


def preset(**changes):
    p = core.tissue_preset("neonatal")
    p.update(changes)
    return p


def truth(dirs, weights, wm=1.0, gm=0.0, csf=0.0, params=None, **opts):
    dirs = np.asarray(dirs, float).reshape(-1, 3)
    r = core.voxel_truth(dirs, np.asarray(weights, float), wm, gm, csf, params if params is not None else preset(), **opts)
    assert r.dtype == np.float64 and r.shape == (27,)
    return dict(zip(NAMES, r))


# ---- NumPy reference: the voxel as explicit Gaussian compartments ----


def compartments(dirs, weights, wm, gm, csf, p):
    """(kind, weight, tensor, axis) of every compartment, weights as absolute voxel fractions."""
    s = wm + gm + csf
    wm, gm, csf = wm / s, gm / s, csf / s
    dirs = np.asarray(dirs, float).reshape(-1, 3)
    weights = np.asarray(weights, float)
    di, dp = p["d_intra"], p["d_extra"][1]
    out = []
    total = weights.sum()
    if total > 1e-12:
        for n, w in zip(dirs, weights):
            n = n / np.linalg.norm(n)
            out.append(("stick", p["intra_frac"] * wm * w / total, di * np.outer(n, n), n))
        for n, w in zip(dirs, weights):
            n = n / np.linalg.norm(n)
            out.append(("zeppelin", p["extra_frac"] * wm * w / total, dp * np.eye(3) + (di - dp) * np.outer(n, n), n))
    r = p["gm_restricted_frac"]
    balls = [((1 - r) * gm, p["d_gm"]), (r * gm, p["d_soma"]), (csf, p["d_csf"])]
    if total <= 1e-12:
        balls.append((wm, sum(p["d_extra"]) / 3))
    out += [("ball", f, d * np.eye(3), None) for f, d in balls]
    return out


def mean_and_cov(comps):
    dbar = sum(w * t for _, w, t, _ in comps)
    second = sum(w * np.einsum("ij,kl->ijkl", t, t) for _, w, t, _ in comps)
    return dbar, second - np.einsum("ij,kl->ijkl", dbar, dbar)


def sphere_grid(nt=300, nph=600):
    """Midpoint rule in cos(theta) and phi: equal-area cells."""
    ct = -1 + (np.arange(nt) + 0.5) * 2 / nt
    ph = (np.arange(nph) + 0.5) * 2 * np.pi / nph
    ct, ph = np.meshgrid(ct, ph, indexing="ij")
    st = np.sqrt(1 - ct**2)
    return np.stack([st * np.cos(ph), st * np.sin(ph), ct], -1).reshape(-1, 3)


def kurtosis_reference(dbar, cov):
    md = np.trace(dbar) / 3
    cov_sym = (cov + np.einsum("ikjl->ijkl", cov) + np.einsum("iljk->ijkl", cov)) / 3
    w = 3 * cov_sym / md**2
    lam, vec = np.linalg.eigh(dbar)
    e1 = vec[:, 2]

    def k_of(n):
        return md**2 * np.einsum("ijkl,ni,nj,nk,nl->n", w, n, n, n, n) / np.einsum("ij,ni,nj->n", dbar, n, n) ** 2

    n = sphere_grid()
    u = np.cross(e1, [1.0, 0, 0] if abs(e1[0]) < 0.9 else [0, 1.0, 0])
    u /= np.linalg.norm(u)
    v = np.cross(e1, u)
    ph = (np.arange(2000) + 0.5) * 2 * np.pi / 2000
    ring = np.cos(ph)[:, None] * u + np.sin(ph)[:, None] * v
    d = np.eye(3)
    iso = (np.einsum("ij,kl->ijkl", d, d) + np.einsum("ik,jl->ijkl", d, d) + np.einsum("il,jk->ijkl", d, d)) / 3
    mkt = np.einsum("ijkl,ni,nj,nk,nl->n", w, n, n, n, n).mean()
    return {
        "mk": k_of(n).mean(),
        "ak": k_of(e1[None])[0],
        "rk": k_of(ring).mean(),
        "mkt": mkt,
        "kfa": np.linalg.norm(w - mkt * iso) / np.linalg.norm(w),
        "lam": lam[::-1],
        "e1": e1,
    }


def propagator_reference(comps, e1, tau, floor):
    """MAP-MRI maps from the Gaussian densities: covariance 2*tau*T, sticks given `floor` across."""
    rtop = rtap = rtpp = v = 0.0
    q, _ = np.linalg.qr(np.column_stack([e1, np.eye(3)[:, :2]]))
    plane = q[:, 1:3]  # orthonormal basis across e1
    for kind, w, t, n in comps:
        if kind == "stick":
            t = floor * np.eye(3) + (t[0, 0] + t[1, 1] + t[2, 2] - floor) * np.outer(n, n)
        sigma = 2 * tau * t
        rtop += w / math.sqrt(np.linalg.det(2 * np.pi * sigma))
        rtap += w / (2 * np.pi * math.sqrt(np.linalg.det(plane.T @ sigma @ plane)))
        rtpp += w / math.sqrt(2 * np.pi * e1 @ sigma @ e1)
        v += w / math.sqrt(np.linalg.det(2 * np.pi * sigma)) * np.trace(np.linalg.inv(sigma))
    return {"rtop": rtop, "rtap": rtap, "rtpp": rtpp, "qiv": 4 * np.pi**2 / v}


def non_gaussianity_reference(dirs, weights, wm, gm, csf, p, floor, top_k):
    comps = compartments(dirs, weights, wm, gm, csf, p)
    fib = [c for c in comps if c[0] != "ball"]
    n = len(fib) // 2
    key = np.array([fib[j][1] + fib[n + j][1] for j in range(n)])
    keep = [j for j in np.argsort(-key, kind="stable")[:top_k] if key[j] > 0]
    a = max(p["d_intra"], floor)
    per = max(p["d_extra"][1], floor)
    cs = [(fib[j][1], floor * np.eye(3) + (a - floor) * np.outer(fib[j][3], fib[j][3])) for j in keep]
    cs += [(fib[n + j][1], per * np.eye(3) + (a - per) * np.outer(fib[j][3], fib[j][3])) for j in keep]
    cs += [(w, max(t[0, 0], floor) * np.eye(3)) for kind, w, t, _ in comps if kind == "ball"]
    cs = [(w, t) for w, t in cs if w > 1e-6]
    pi = np.array([w for w, _ in cs])
    pi /= pi.sum()
    ts = np.array([t for _, t in cs])
    tbar = np.einsum("k,kij->ij", pi, ts)

    def sine(gram, cross, self_):
        s = pi @ gram @ pi
        return math.sqrt(max(0.0, 1 - (pi @ cross) ** 2 / (s * self_))) if s > 0 else 0.0

    det = np.linalg.det
    ng = sine(det(ts[:, None] + ts[None]) ** -0.5, det(ts + tbar) ** -0.5, det(2 * tbar) ** -0.5)
    lam, vec = np.linalg.eigh(tbar)
    e1 = vec[:, 2]
    along = np.einsum("i,kij,j->k", e1, ts, e1)
    abar = e1 @ tbar @ e1
    ngpar = sine((along[:, None] + along[None]) ** -0.5, (along + abar) ** -0.5, (2 * abar) ** -0.5)
    q, _ = np.linalg.qr(np.column_stack([e1, np.eye(3)[:, :2]]))
    pl = q[:, 1:3]
    across = np.einsum("ia,kij,jb->kab", pl, ts, pl)
    pbar = pl.T @ tbar @ pl
    ngperp = sine(det(across[:, None] + across[None]) ** -0.5, det(across + pbar) ** -0.5, det(2 * pbar) ** -0.5)
    s1, s2, s3 = lam.sum(), lam[0] * lam[1] + lam[0] * lam[2] + lam[1] * lam[2], lam.prod()
    roots = np.roots([1, s1 / 3, -s2 / 3, -s3])
    real = roots[np.abs(roots.imag) < 1e-12 * np.abs(roots).max()].real
    u = real[real > 0].max()
    pa = math.sqrt(max(0.0, 1 - (1 / det(tbar + u * np.eye(3))) / ((2 * u) ** -1.5 * det(2 * tbar) ** -0.5)))
    return {"ng": ng, "ngpar": ngpar, "ngperp": ngperp, "pa": pa}


def watson_odi_reference(l1):
    """Kappa with Watson mean cos^2 equal to l1 (fine quadrature and bisection), then odi."""
    t = (np.arange(20000) + 0.5) / 20000

    def mean_cos2(kappa):
        e = np.exp(kappa * (t * t - 1))
        return (t * t * e).sum() / e.sum()

    lo, hi = math.log(1e-3), math.log(1e3)
    for _ in range(100):
        mid = (lo + hi) / 2
        lo, hi = (mid, hi) if mean_cos2(math.exp(mid)) < l1 else (lo, mid)
    return 2 / math.pi * math.atan(1 / math.exp(lo))


def random_voxel(rng, nfib):
    dirs = rng.normal(size=(nfib, 3))
    weights = rng.uniform(0.2, 1.0, nfib)
    wm, gm, csf = rng.uniform(0.5, 1.0), rng.uniform(0.0, 0.3), rng.uniform(0.0, 0.2)
    return dirs, weights, wm, gm, csf


# ---- closed forms ----


class TestClosedForms:
    def test_single_ball(self):
        d = 0.003
        t = truth([[0, 0, 1]], [1.0], wm=0.0, gm=0.0, csf=2.0)
        for name in ("fa", "ak", "rk", "mk", "mkt", "kfa", "micro_fa", "coherence", "k_bulk", "k_shear",
                     "ng", "ngpar", "ngperp", "gfa", "qa", "icvf", "odi"):
            assert t[name] == pytest.approx(0.0, abs=1e-7), name
        for name in ("md", "rd", "ad"):
            assert t[name] == pytest.approx(d, rel=1e-12), name
        assert t["isovf"] == 1.0
        x = 4 * math.pi * TAU * d
        assert t["rtop"] == pytest.approx(x**-1.5, rel=1e-12)
        assert t["rtap"] == pytest.approx(1 / x, rel=1e-12)
        assert t["rtpp"] == pytest.approx(x**-0.5, rel=1e-12)
        assert t["msd"] == pytest.approx(6 * TAU * d, rel=1e-12)
        assert t["qiv"] == pytest.approx(4 * math.pi**2 * (2 * math.pi * 2 * TAU * d) ** 1.5 * 2 * TAU * d / 3, rel=1e-12)
        # the cubic has the roots D, -D, -D: the closest isotropic Gaussian is the ball itself
        assert t["pa"] == pytest.approx(0.0, abs=1e-6)

    @pytest.mark.parametrize("r, d_soma, clamped", [(0.15, 0.0003, False), (0.8, 0.0001, True)])
    def test_two_balls_have_the_kurtosis_of_a_gaussian_mixture(self, r, d_soma, clamped):
        p = preset(gm_restricted_frac=r, d_soma=d_soma)
        t = truth([[1, 0, 0]], [1.0], wm=0.0, gm=1.0, csf=0.0, params=p)
        f = np.array([1 - r, r])
        d = np.array([p["d_gm"], d_soma])
        m = f @ d
        k = 3 * (f @ d**2 - m**2) / m**2
        assert (k > 3) == clamped
        for name in ("ak", "rk", "mkt", "k_bulk"):
            assert t[name] == pytest.approx(k, rel=1e-9), name
        assert t["mk"] == pytest.approx(3.0 if clamped else k, rel=1e-9)
        for name in ("fa", "kfa", "micro_fa", "k_shear"):
            assert t[name] == pytest.approx(0.0, abs=1e-7), name
        assert t["ng"] > 0.01  # a mixture of two Gaussians is not Gaussian

    @pytest.mark.parametrize("intra", [1.0, 0.4])
    def test_single_stick(self, rng, intra):
        n = rng.normal(size=3)
        t = truth([n], [2.5], params=preset(intra_frac=intra, extra_frac=0.0))
        assert t["micro_fa"] == pytest.approx(1.0, rel=1e-12)
        assert t["coherence"] == pytest.approx(1.0, rel=1e-12)
        assert t["fa"] == pytest.approx(1.0, rel=1e-12)
        assert t["k_bulk"] == pytest.approx(3 * (1 - intra) / intra, abs=1e-9)
        # the rest of the voxel is empty: below 2e-7 the kurtosis closed forms report 0
        assert (t["ak"], t["rk"], t["mk"]) == (0.0, 0.0, 0.0)
        assert t["icvf"] == pytest.approx(intra)
        assert t["odi"] == pytest.approx(COHERENT_ODI, rel=1e-12)
        assert t["ng"] == pytest.approx(0.0, abs=1e-7)  # one Gaussian
        assert t["pa"] > 0.5

    def test_three_orthogonal_sticks(self):
        t = truth(np.eye(3), [1.0, 1.0, 1.0], params=preset(intra_frac=1.0, extra_frac=0.0))
        assert t["micro_fa"] == pytest.approx(1.0, rel=1e-12)
        assert t["coherence"] == pytest.approx(0.0, abs=1e-12)
        assert t["fa"] == pytest.approx(0.0, abs=1e-12)
        assert t["odi"] == 1.0

    def test_one_direction_gives_intra_fraction_and_coherent_odi(self):
        p = preset(intra_frac=0.7, extra_frac=0.3)
        t = truth([[0, 3, 4]], [1.0], params=p)
        assert t["icvf"] == pytest.approx(0.7, rel=1e-15)
        assert t["odi"] == pytest.approx(COHERENT_ODI, rel=1e-12)

    @pytest.mark.parametrize("weights", [[0.0, 0.0], [1e-13, 0.0]])
    def test_no_fibre_weight_is_an_isotropic_ball(self, weights):
        p = preset()
        t = truth([[1, 0, 0], [0, 1, 0]], weights, params=p)
        assert t["fa"] == pytest.approx(0.0, abs=1e-12)
        assert t["md"] == pytest.approx(sum(p["d_extra"]) / 3, rel=1e-12)
        assert (t["icvf"], t["odi"], t["gfa"], t["qa"]) == (0.0, 0.0, 0.0, 0.0)

    def test_pure_grey_matter_has_no_icvf_or_odi(self):
        t = truth([[1, 0, 0]], [1.0], wm=0.0, gm=1.0)
        assert (t["icvf"], t["odi"], t["isovf"]) == (0.0, 0.0, 0.0)

    def test_fractions_are_normalised(self):
        a = truth([[1, 0, 0], [0, 1, 1]], [0.6, 0.4], wm=0.6, gm=0.3, csf=0.1)
        b = truth([[1, 0, 0], [0, 1, 1]], [0.6, 0.4], wm=6.0, gm=3.0, csf=1.0)
        for name in NAMES:
            assert a[name] == pytest.approx(b[name], rel=1e-12, abs=1e-15), name
        assert a["isovf"] == pytest.approx(0.1)
        assert a["icvf"] == pytest.approx(0.55 * 0.6 / 0.9)


class TestGqi:
    def test_all_fibre_weight_on_one_vertex(self):
        dirs = np.eye(3)
        t = truth(dirs, [1.0, 0.0, 0.0], params=preset(intra_frac=0.6, extra_frac=0.4))
        assert t["gfa"] == pytest.approx(1.0, rel=1e-12)
        assert t["qa"] == pytest.approx(1.0, rel=1e-12)

    def test_qa_is_fibre_fraction_times_range(self, rng):
        dirs = rng.normal(size=(6, 3))
        w = rng.uniform(0, 1, 6)
        t = truth(dirs, w, wm=0.5, gm=0.3, csf=0.2, params=preset(intra_frac=0.5, extra_frac=0.3))
        phi = 0.8 * 0.5
        a = w / w.sum()
        assert t["qa"] == pytest.approx(phi * (a.max() - a.min()), rel=1e-12)
        psi = a * phi + (1 - phi) / 6
        gfa = math.sqrt(6 * ((psi - psi.mean()) ** 2).sum() / (5 * (psi**2).sum()))
        assert t["gfa"] == pytest.approx(gfa, rel=1e-12)

    def test_empty_direction_list(self):
        t = truth(np.zeros((0, 3)), [], wm=1.0)
        assert t["gfa"] == 0.0
        assert t["qa"] == -math.inf


# ---- NumPy references on random voxels ----


@pytest.mark.parametrize("nfib", [1, 2, 3, 5])
def test_dti_and_dki_against_numpy(rng, nfib):
    p = preset()
    for _ in range(3):
        voxel = random_voxel(rng, nfib)
        t = truth(*voxel, params=p)
        dbar, cov = mean_and_cov(compartments(*voxel, p))
        ref = kurtosis_reference(dbar, cov)
        lam = ref["lam"]
        assert t["ad"] == pytest.approx(lam[0], rel=1e-12)
        assert t["rd"] == pytest.approx((lam[1] + lam[2]) / 2, rel=1e-12)
        assert t["md"] == pytest.approx(lam.mean(), rel=1e-12)
        fa = math.sqrt(1.5 * ((lam - lam.mean()) ** 2).sum() / (lam**2).sum())
        assert t["fa"] == pytest.approx(fa, rel=1e-10, abs=1e-12)
        # Quadrature error ~1e-6; the Carlson series carry ~1e-4 and, within 2.5 % of equal
        # eigenvalues, the equal-eigenvalue forms stand in for the general ones.
        assert t["mk"] == pytest.approx(ref["mk"], rel=5e-3)
        assert t["rk"] == pytest.approx(ref["rk"], rel=1e-5)
        assert t["ak"] == pytest.approx(ref["ak"], rel=1e-9, abs=1e-9)
        assert t["mkt"] == pytest.approx(ref["mkt"], rel=1e-5)
        assert t["kfa"] == pytest.approx(ref["kfa"], rel=1e-10)


@pytest.mark.parametrize("nfib", [1, 2, 4])
def test_qti_against_compartment_eigenvalues(rng, nfib):
    p = preset()
    voxel = random_voxel(rng, nfib)
    t = truth(*voxel, params=p)
    comps = compartments(*voxel, p)
    w = np.array([c[1] for c in comps])
    lam = np.array([np.linalg.eigvalsh(c[2]) for c in comps])
    # micro_fa from the compartments' own eigenvalues: <Σλ²>/3 against <(Σλ/3)²>
    a = w @ (lam**2).sum(1) / 3
    b = w @ (lam.sum(1) / 3) ** 2
    micro_fa = math.sqrt(1.5 * (a - b) / a)
    assert t["micro_fa"] == pytest.approx(micro_fa, rel=1e-10)
    dbar = np.einsum("k,kij->ij", w, np.array([c[2] for c in comps]))
    ld = np.linalg.eigvalsh(dbar)
    fa2 = 1.5 * ((ld - ld.mean()) ** 2).sum() / (ld**2).sum()
    assert t["coherence"] == pytest.approx(min(1.0, fa2 / micro_fa**2), rel=1e-9)
    md = w @ lam.sum(1) / 3
    v_bulk = w @ (lam.sum(1) / 3) ** 2 - md**2
    assert t["k_bulk"] == pytest.approx(3 * v_bulk / md**2, rel=1e-9)


@pytest.mark.parametrize("floor", [0.00012, 0.0003])
def test_propagator_against_gaussian_densities(rng, floor):
    p = preset()
    for nfib in (1, 2, 3):
        voxel = random_voxel(rng, nfib)
        tau = rng.uniform(0.01, 0.08)
        t = truth(*voxel, params=p, tau=tau, d_perp_floor=floor)
        comps = compartments(*voxel, p)
        dbar, _ = mean_and_cov(comps)
        e1 = np.linalg.eigh(dbar)[1][:, 2]
        ref = propagator_reference(comps, e1, tau, floor)
        for name in ("rtop", "rtap", "rtpp", "qiv"):
            assert t[name] == pytest.approx(ref[name], rel=1e-9), name
        assert t["msd"] == pytest.approx(2 * tau * np.trace(dbar), rel=1e-12)


def test_zeppelin_terms_along_and_across_the_principal_axis():
    # Two zeppelins, the heavier along x (the principal axis), the other along y.
    p = preset(intra_frac=0.0, extra_frac=1.0)
    di, dp = p["d_intra"], p["d_extra"][1]
    t = truth([[1, 0, 0], [0, 1, 0]], [0.7, 0.3], params=p)
    x = 4 * math.pi * TAU
    assert t["rtap"] == pytest.approx((0.7 / dp + 0.3 / math.sqrt(dp * di)) / x, rel=1e-12)
    assert t["rtpp"] == pytest.approx((0.7 / math.sqrt(di) + 0.3 / math.sqrt(dp)) / math.sqrt(x), rel=1e-12)


def test_d_perp_floor_acts_only_through_sticks(rng):
    dirs, w, wm, gm, csf = random_voxel(rng, 3)
    a = truth(dirs, w, wm, gm, csf, d_perp_floor=0.0001)
    b = truth(dirs, w, wm, gm, csf, d_perp_floor=0.0004)
    for name in ("rtop", "rtap", "rtpp", "qiv"):
        assert a[name] != b[name]
    for name in set(NAMES) - {"rtop", "rtap", "rtpp", "qiv"}:
        assert a[name] == b[name], name
    no_sticks = preset(intra_frac=0.0)
    assert truth(dirs, w, wm, gm, csf, params=no_sticks, d_perp_floor=0.0001) == truth(
        dirs, w, wm, gm, csf, params=no_sticks, d_perp_floor=0.0004)


@pytest.mark.parametrize("top_k", [0, 1, 3, 28])
def test_non_gaussianity_against_pair_sums(rng, top_k):
    p = preset()
    for nfib in (1, 4, 7):
        voxel = random_voxel(rng, nfib)
        t = truth(*voxel, params=p, ng_top_k=top_k)
        ref = non_gaussianity_reference(*voxel, p, 0.00012, top_k)
        for name in ("ng", "ngpar", "ngperp", "pa"):
            assert t[name] == pytest.approx(ref[name], rel=1e-7, abs=1e-7), name


def test_non_gaussianity_ties_keep_the_lower_vertex(rng):
    # Equal weights on four directions, top 2: the first two enter.
    dirs = rng.normal(size=(4, 3))
    p = preset()
    t = truth(dirs, [1.0] * 4, params=p, ng_top_k=2)
    ref = non_gaussianity_reference(dirs, [1.0] * 4, 1.0, 0.0, 0.0, p, 0.00012, 2)
    swapped = non_gaussianity_reference(dirs[::-1], [1.0] * 4, 1.0, 0.0, 0.0, p, 0.00012, 2)
    assert t["ng"] == pytest.approx(ref["ng"], rel=1e-9)
    assert abs(ref["ng"] - swapped["ng"]) > 1e-3  # the choice matters


def test_ng_floor_above_d_perp_replaces_it(rng):
    dirs, w, wm, gm, csf = random_voxel(rng, 3)
    low = preset(d_extra=(0.0015, 0.0001, 0.0001))
    at_floor = preset(d_extra=(0.0015, 0.0005, 0.0005))
    a = truth(dirs, w, wm, gm, csf, params=low, ng_floor=0.0005)
    b = truth(dirs, w, wm, gm, csf, params=at_floor, ng_floor=0.0005)
    for name in ("ng", "ngpar", "ngperp", "pa"):
        assert a[name] == pytest.approx(b[name], rel=1e-12), name


@pytest.mark.parametrize("half_angle", [5.0, 20.0, 35.0, 50.0])
def test_odi_of_two_directions_matches_the_watson_fit(half_angle):
    # Two equal directions at ±α: the scatter's eigenvalues are cos²α and sin²α.
    a = math.radians(half_angle)
    t = truth([[math.cos(a), math.sin(a), 0], [math.cos(a), -math.sin(a), 0]], [1.0, 1.0])
    # the table is interpolated linearly in ln(kappa) between 241 nodes
    l1 = max(math.cos(a) ** 2, math.sin(a) ** 2)
    assert t["odi"] == pytest.approx(watson_odi_reference(l1), rel=2e-3)


def test_default_options_are_the_documented_values(rng):
    voxel = random_voxel(rng, 3)
    assert truth(*voxel) == truth(*voxel, tau=TAU, d_perp_floor=0.00012, ng_floor=0.00012, ng_top_k=28)
    assert truth(*voxel) == truth(*voxel, tau=None, d_perp_floor=None, ng_floor=None, ng_top_k=None)


@pytest.mark.parametrize("key", ["d_intra", "intra_frac", "d_gm", "d_extra"])
def test_nan_parameters_give_nan_maps_without_hanging(rng, key):
    # NaN reaches the eigen-solver, the kurtosis weights, the vertex ranking and the Watson
    # look-up; each reports NaN (or its documented zero) instead of looping or failing.
    value = (math.nan,) * 3 if key == "d_extra" else math.nan
    t = truth(*random_voxel(rng, 3), params=preset(**{key: value}))
    assert any(math.isnan(v) for v in t.values())


# ---- voxel_truth errors ----

DIRS = np.array([[1.0, 0, 0], [0, 1.0, 0]])
W2 = np.array([0.5, 0.5])


@pytest.mark.parametrize("args, message", [
    ((DIRS, W2, 0.0, 0.0, 0.0), "fractions must sum to a positive value"),
    ((DIRS, W2, 1.0, -1.0, 0.0), "fractions must sum to a positive value"),
    ((DIRS, W2, math.nan, 0.0, 0.0), "fractions must sum to a positive value"),
    ((DIRS, np.ones(3), 1.0, 0.0, 0.0), "weights: expected 2 values, got 3"),
    ((DIRS[:, :2].copy(), W2, 1.0, 0.0, 0.0), "dirs must have shape (n, 3), got [2, 2]"),
    ((DIRS, np.ones(4)[::2], 1.0, 0.0, 0.0), "The given array is not contiguous or is misaligned."),
    # checks come in order: dirs, weights, params, fractions
    ((DIRS[:, :2].copy(), np.ones(3), 0.0, 0.0, 0.0), "dirs must have shape (n, 3), got [2, 2]"),
    ((DIRS, np.ones(3), 0.0, 0.0, 0.0), "weights: expected 2 values, got 3"),
])
def test_voxel_truth_value_errors(args, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        core.voxel_truth(*args, preset())


def test_params_errors_propagate_before_the_fraction_check():
    with pytest.raises(ValueError, match=re.escape("d_gm: expected a number")):
        core.voxel_truth(DIRS, W2, 0.0, 0.0, 0.0, {"d_gm": "x"})


@pytest.mark.parametrize("name, value", [
    ("dirs", DIRS.astype(np.float32)),
    ("weights", [0.5, 0.5]),
    ("wm", "one"),
    ("params", [("d_gm", 0.001)]),
    ("tau", "x"),
    ("ng_top_k", 2.5),
])
def test_voxel_truth_type_errors_name_the_argument(name, value):
    kwargs = dict(dirs=DIRS, weights=W2, wm=1.0, gm=0.0, csf=0.0, params={})
    kwargs[name] = value
    with pytest.raises(TypeError) as info:
        core.voxel_truth(**kwargs)
    assert f"while processing '{name}'" in getattr(info.value, "__notes__", [])


def test_negative_ng_top_k_is_an_overflow_error():
    with pytest.raises(OverflowError):
        core.voxel_truth(DIRS, W2, 1.0, 0.0, 0.0, {}, ng_top_k=-1)


# ---- Mixture.scalars ----


def fibre_mixture(rng, dims=(4, 3, 2), kappa=8.0, nfib=2, params=None):
    nvox = int(np.prod(dims))
    voxel = np.repeat(np.arange(nvox, dtype=np.uint32), nfib)
    dirs = rng.normal(size=(nvox * nfib, 3))
    weight = rng.uniform(0.2, 1.0, nvox * nfib)
    wm = rng.uniform(0.3, 1.0, nvox).astype(np.float32)
    gm = rng.uniform(0.0, 0.4, nvox).astype(np.float32)
    csf = rng.uniform(0.0, 0.3, nvox).astype(np.float32)
    mask = np.ones(nvox, np.float32)
    return core.mixture_from_fibers(dims, voxel, dirs, weight, wm, gm, csf, mask,
                                    params if params is not None else preset(), kappa=kappa)


def field_voxel_truth(mix, v, params, **opts):
    verts = mix.sphere_vertices().reshape(-1, 3)
    row = mix.odf().reshape(-1, mix.nvert)[v].astype(np.float64)
    wm, gm, csf = (float(f[v]) for f in mix.fractions())
    return core.voxel_truth(verts, row, wm, gm, csf, params, **opts)


def assert_maps_match_voxel_truth(maps, truths):
    # Maps are float32 and the one-voxel path rounds the inputs differently by an ulp or so:
    # compare relatively, with an absolute floor at 1e-6 of each map's own scale (for values
    # that are zero up to cancellation, such as ak along an isotropic axis).
    for s, name in enumerate(NAMES):
        got = np.array([m[s] for m in maps])
        ref = np.array([t[s] for t in truths])
        scale = np.abs(ref).max()
        np.testing.assert_allclose(got, ref, rtol=2e-6, atol=1e-6 * scale, err_msg=name)


class TestMixtureScalars:
    @pytest.mark.parametrize("kappa, nfib", [(None, 1), (None, 3), (8.0, 2), (30.0, 3)])
    def test_each_voxel_equals_voxel_truth(self, rng, kappa, nfib):
        p = preset()
        mix = fibre_mixture(rng, kappa=kappa, nfib=nfib)
        maps = mix.scalars()
        assert len(maps) == 27
        assert all(m.dtype == np.float32 and m.shape == (24,) for m in maps)
        voxels = range(24)
        truths = [field_voxel_truth(mix, v, p) for v in voxels]
        assert_maps_match_voxel_truth([[m[v] for m in maps] for v in voxels], truths)

    def test_options_reach_every_voxel(self, rng):
        p = preset()
        mix = fibre_mixture(rng)
        opts = dict(tau=0.05, d_perp_floor=0.0002, ng_floor=0.0003, ng_top_k=5)
        maps = mix.scalars(**opts)
        truths = [field_voxel_truth(mix, v, p, **opts) for v in range(24)]
        assert_maps_match_voxel_truth([[m[v] for m in maps] for v in range(24)], truths)
        assert not np.array_equal(maps[IDX["msd"]], mix.scalars()[IDX["msd"]])

    def test_myelin_blends_toward_the_adult_preset(self, rng):
        p = preset()
        mix = fibre_mixture(rng, params=p)
        m = np.linspace(0.0, 1.0, 24).astype(np.float32)
        maps = mix.with_myelin(m).scalars()
        adult = core.tissue_preset("adult")
        for v in (0, 7, 23):
            mv = float(m[v])
            blended = dict(p)
            for key in ("intra_frac", "extra_frac", "d_intra"):
                blended[key] = p[key] + (adult[key] - p[key]) * mv
            blended["d_extra"] = tuple(a + (b - a) * mv for a, b in zip(p["d_extra"], adult["d_extra"]))
            assert_maps_match_voxel_truth([[mm[v] for mm in maps]], [field_voxel_truth(mix, v, blended)])
        # a zero map is the same as no map
        zero = mix.with_myelin(np.zeros(24, np.float32)).scalars()
        assert all(np.array_equal(a, b) for a, b in zip(zero, mix.scalars()))

    def test_unmasked_pure_csf_and_fallback_voxels(self):
        dims = (3, 1, 1)
        p = preset()
        wm = np.array([0.0, 0.0, 0.7], np.float32)
        gm = np.array([0.0, 0.0, 0.3], np.float32)
        csf = np.array([0.0, 1.0, 0.0], np.float32)
        mask = np.array([0.0, 1.0, 1.0], np.float32)
        mix = core.mixture_from_fibers(dims, np.zeros(0, np.uint32), np.zeros((0, 3)), np.zeros(0),
                                       wm, gm, csf, mask, p)
        assert list(mix.fallback()) == [0, 0, 1]
        maps = dict(zip(NAMES, mix.scalars()))
        for name in NAMES:
            assert maps[name][0] == 0.0, name  # outside the mask, odi included
        assert maps["isovf"][1] == 1.0
        assert (maps["icvf"][1], maps["odi"][1], maps["fa"][1]) == (0.0, 0.0, 0.0)
        assert maps["md"][1] == np.float32(p["d_csf"])
        # white matter without fibres: an isotropic ball
        assert maps["fa"][2] == pytest.approx(0.0, abs=1e-7)
        assert (maps["icvf"][2], maps["odi"][2]) == (0.0, 0.0)
        expected_md = 0.7 * sum(p["d_extra"]) / 3 + 0.3 * (0.85 * p["d_gm"] + 0.15 * p["d_soma"])
        assert maps["md"][2] == pytest.approx(expected_md, rel=1e-6)

    @pytest.mark.parametrize("mass, fibres", [(1e-12, False), (2e-12, True)])
    def test_odf_row_of_at_most_1e_12_is_a_fallback_ball(self, mass, fibres):
        # The builder flags the voxel from its float64 sum (exactly 1e-12: no flag); the stored
        # float32 row sums to just below 1e-12, which the ground truth treats as no fibre.
        one = np.ones(1, np.float32)
        mix = core.mixture_from_fibers((1, 1, 1), np.zeros(1, np.uint32), np.array([[1.0, 0, 0]]),
                                       np.array([mass]), one, one * 0, one * 0, one, preset())
        assert mix.fallback()[0] == 0
        t = dict(zip(NAMES, (m[0] for m in mix.scalars())))
        assert (t["icvf"] > 0) == fibres
        assert (t["fa"] > 0.1) == fibres

    def test_empty_grid(self):
        z = np.zeros(0, np.float32)
        mix = core.mixture_from_fibers((0, 2, 2), np.zeros(0, np.uint32), np.zeros((0, 3)), np.zeros(0),
                                       z, z, z, z, {})
        maps = mix.scalars()
        assert len(maps) == 27 and all(m.shape == (0,) and m.dtype == np.float32 for m in maps)

    @pytest.mark.parametrize("name, value, error", [
        ("tau", "x", TypeError),
        ("d_perp_floor", [1.0], TypeError),
        ("ng_floor", object(), TypeError),
        ("ng_top_k", 1.5, TypeError),
        ("ng_top_k", -1, OverflowError),
    ])
    def test_argument_errors_name_the_argument(self, rng, name, value, error):
        mix = fibre_mixture(rng, dims=(1, 1, 1))
        with pytest.raises(error) as info:
            mix.scalars(**{name: value})
        assert f"while processing '{name}'" in getattr(info.value, "__notes__", [])


def test_maps_do_not_depend_on_the_thread_count():
    code = """
import hashlib, numpy as np, quorvel._core as core
assert core.set_threads({n})
rng = np.random.default_rng(42)
dims = (12, 10, 8)
nvox = 960
voxel = np.repeat(np.arange(nvox, dtype=np.uint32), 3)
dirs = rng.normal(size=(3 * nvox, 3))
weight = rng.uniform(0.1, 1.0, 3 * nvox)
wm = rng.uniform(0, 1, nvox).astype(np.float32)
gm = rng.uniform(0, 0.5, nvox).astype(np.float32)
csf = rng.uniform(0, 0.5, nvox).astype(np.float32)
mask = (rng.uniform(0, 1, nvox) > 0.2).astype(np.float32)
mix = core.mixture_from_fibers(dims, voxel, dirs, weight, wm, gm, csf, mask, {{}}, kappa=6.0)
mix = mix.with_myelin(rng.uniform(0, 1, nvox).astype(np.float32))
h = hashlib.sha256()
for m in mix.scalars():
    h.update(m.tobytes())
print(core.current_threads(), h.hexdigest())
"""
    one = run_isolated(code.format(n=1)).split()
    many = run_isolated(code.format(n=8)).split()
    assert one[0] == "1" and many[0] == "8"
    assert one[1] == many[1]
