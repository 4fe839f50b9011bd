"""The Mixture class, its hemisphere, and the two mixture builders."""
import itertools
import math
import os
import threading

import numpy as np
import pytest

import quorvel._core as core
from conftest import ADDRESS_CAP, brick_plan, raises, run_isolated, run_process

CSR = "offsets must be CSR: length n_streamlines+1, last entry == number of points"
A, B = 0.5257311121191336, 0.85065080835204


def tissue(dims, wm=1.0, gm=0.0, csf=0.0, mask=1.0):
    return [np.full(int(np.prod(dims)), v, np.float32) for v in (wm, gm, csf, mask)]


def lines_csr(*lines):
    pts = [np.asarray(p, float).reshape(-1, 3) for p in lines]
    offsets = np.cumsum([0] + [len(p) for p in pts]).astype(np.uint32)
    return (np.concatenate(pts) if pts else np.zeros((0, 3))), offsets


def build(dims, positions, offsets, weights=None, affine=None, params=None, maps=None, **kw):
    return core.build_mixture(dims, *(maps or tissue(dims)), np.eye(4) if affine is None else affine, positions,
                              offsets, weights, params or {}, **kw)


def fibers(dims, voxel, dirs, weight, params=None, maps=None, **kw):
    return core.mixture_from_fibers(dims, np.asarray(voxel, np.uint32), np.asarray(dirs, float).reshape(-1, 3),
                                    np.asarray(weight, float), *(maps or tissue(dims)), params or {}, **kw)


def rows(mix):
    return mix.odf().reshape(-1, mix.nvert)


def vertices(mix):
    return mix.sphere_vertices().reshape(-1, 3)


def kernel_exp(x):
    """The builders' exponential, operation for operation: x = n ln2 + r, 1 + r + r^2 (1/2! + ... + r^11/13!), 2^n."""
    t = x * 1.4426950408889634 + 6755399441055744.0
    n = t - 6755399441055744.0
    r = (x - n * 6.93147180369123816490e-01) - n * 1.90821492927058770002e-10
    q = np.full_like(r, 1 / math.factorial(13))
    for k in range(12, 1, -1):
        q = q * r + 1 / math.factorial(k)
    s, k = 1.0 + r, t.view(np.int64) - np.float64(6755399441055744.0).view(np.int64)
    return (s + (((1.0 - s) + r) + (r * r) * q)) * ((k + 1023) << 52).view(np.float64)


def kernel_reference(verts, dirs, kappa=None):
    """Kernel rows: Watson weights cut at 1e-8 over their sum in vertex order, else the first largest |cos|."""
    # Every product and sum in the builders' order, so that the bits agree.
    d = np.asarray(dirs, float).reshape(-1, 3)
    n = np.sqrt((d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2])[:, None]
    u = np.where(n < 1e-12, 0.0, d / np.maximum(n, 1e-12))
    c = (verts[:, 0] * u[:, :1] + verts[:, 1] * u[:, 1:2]) + verts[:, 2] * u[:, 2:]
    k = np.eye(len(verts))[np.argmax(np.abs(c), axis=1)]
    if kappa is not None:  # exp(-20) < 1e-8: the clamp keeps the exponential in range and drops nothing kept
        w = kernel_exp(np.maximum(kappa * (c * c - 1.0), -20.0))
        w[w < 1e-8] = 0.0
        total = np.add.accumulate(w, axis=1)[:, -1:]
        k = np.where(total > 0, w / np.where(total > 0, total, 1.0), k)
    return k


def pieces(a, b, dims):
    """(flat voxel, fraction of the segment) of segment a -> b in voxel coordinates, in order along it."""
    if any((a[x] < 0 and b[x] < 0) or (a[x] >= dims[x] and b[x] >= dims[x]) for x in range(3)):
        return
    d = b - a
    # The planes crossed from the box face 0 to the face dims[x]: those beyond split only pieces outside.
    ts = sorted([0.0, 1.0] + [t for x in range(3) if abs(d[x]) > 1e-12
                              for m in range(max(math.floor(min(a[x], b[x])) + 1, 0), min(math.ceil(max(a[x], b[x])), dims[x] + 1))
                              for t in [(m - a[x]) / d[x]] if 1e-12 < t < 0.999999999999])
    for t0, t1 in zip(ts, ts[1:]):
        v = [math.floor(a[x] + (t0 + t1) * 0.5 * d[x]) for x in range(3)]
        if t1 - t0 > 1e-12 and all(0 <= v[x] < dims[x] for x in range(3)):
            yield v[0] + dims[0] * (v[1] + dims[1] * v[2]), t1 - t0


def to_voxel(p, affine):
    """Voxel coordinates of world points; exact for a signed permutation with power-of-two scales."""
    a = affine[:3, :3]
    return (p - affine[:3, 3]) @ (a / (a * a).sum(0))


def build_reference(dims, affine, positions, offsets, weights, kappa, verts, area):
    """The serial build: float64 rows, added to in streamline, segment and piece order, rounded once."""
    # Each piece adds its kernel times (length * weight) * area at the kept vertices.
    acc = np.zeros((math.prod(dims), len(verts)))
    vox, d = to_voxel(positions, affine), np.diff(positions, axis=0)
    length, k = np.sqrt((d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]), kernel_reference(verts, d, kappa)
    for s, w in enumerate(weights.astype(float)):
        for i in range(offsets[s], offsets[s + 1] - 1):
            for v, dt in pieces(vox[i], vox[i + 1], dims) if w != 0 and length[i] >= 1e-12 else ():
                acc[v, k[i] != 0] += k[i, k[i] != 0] * ((dt * length[i] * w) * area)
    return acc.astype(np.float32)


# (-A, B, 0), (A, B, 0), (-A, -B, 0), (A, -B, 0), then the same rolled to (0, -A, B), ... and (B, 0, -A), ...
BASE_VERTICES = [tuple(np.roll([s * A, t * B, 0.0], k)) for k in range(3) for t in (1, -1) for s in (-1, 1)]
BASE_FACES = [(0, 11, 5), (0, 5, 1), (0, 1, 7), (0, 7, 10), (0, 10, 11), (1, 5, 9), (5, 11, 4), (11, 10, 2), (10, 7, 6),
              (7, 1, 8), (3, 9, 4), (3, 4, 2), (3, 2, 6), (3, 6, 8), (3, 8, 9), (4, 9, 5), (2, 4, 11), (6, 2, 10),
              (8, 6, 7), (9, 8, 1)]


def icosphere_reference(level):
    """Subdivided icosahedron (cached normalised edge midpoints, four faces per face), folded onto
    the upper half by the sign of z, else y, else x, first occurrences kept."""
    v, faces = list(BASE_VERTICES), BASE_FACES
    for _ in range(level):
        cache, new = {}, []

        def mid(i, j):
            if (min(i, j), max(i, j)) not in cache:
                m = [(a + b) * 0.5 for a, b in zip(v[i], v[j])]
                n = math.sqrt(m[0] * m[0] + m[1] * m[1] + m[2] * m[2])
                v.append(tuple(c / n for c in m))
                cache[min(i, j), max(i, j)] = len(v) - 1
            return cache[min(i, j), max(i, j)]

        for p, q, r in faces:
            pq, qr, rp = mid(p, q), mid(q, r), mid(r, p)
            new += [(p, pq, rp), (q, qr, pq), (r, rp, qr), (pq, qr, rp)]
        faces = new
    kept = np.zeros((0, 3))
    for x, y, z in v:
        sign = z if abs(z) > 1e-12 else y if abs(y) > 1e-12 else x
        f = np.array([x, y, z]) * (-1.0 if sign < 0 else 1.0)
        if not (((kept - f) ** 2).sum(1) < 1e-16).any():
            kept = np.vstack([kept, f])
    return kept


@pytest.mark.parametrize("level", range(6))
def test_hemisphere(level):
    # the vertex order is the layout of every odf row: bit for bit, not only as a set
    np.testing.assert_array_equal(vertices(fibers((1, 1, 1), [], [], [], sphere_level=level)), icosphere_reference(level))


# Level 15 needs more than 32-bit bin indices, level 31 wraps 5*4^level + 1, level 14 takes
# 700*4^14 bytes to build: more than the memory of a machine below 128 GiB.
TOO_HIGH = {15: "the largest level is 14", 31: "the largest level is 14"} | (
    {14: "building it takes 187904819200 bytes, more than this machine's memory"}
    if os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") < 2**37 else {})


def test_high_levels_are_quick_and_too_high_ones_refused_on_any_grid():
    # Subdivision only appends vertices, so a hemisphere begins with the one a level below. Level
    # 8 took minutes when the fold compared every vertex with every kept one. A level too high is
    # refused before it is built, also on an empty grid (else the capped address space overflows).
    out = run_process(ADDRESS_CAP + f"""import sys; sys.path[:0] = {[os.path.dirname(__file__), os.path.dirname(os.path.dirname(__file__))]!r}
from test_mixture import build, fibers, lines_csr, vertices
v5, v8 = (vertices(fibers((1, 1, 1), [], [], [], sphere_level=n)) for n in (5, 8))
print(len(v8), (v8[:len(v5)] == v5).all())
for n, dims in [(n, dims) for n in {list(TOO_HIGH)} for dims in ((1, 1, 1), (0, 3, 1))]:
    for make in lambda: build(dims, *lines_csr(), sphere_level=n), lambda: fibers(dims, [], [], [], sphere_level=n):
        try: make()
        except ValueError as e: print(e)""", timeout=60)
    assert out.stdout.splitlines() == ["327681 True"] + [
        f"a level-{n} hemisphere is too large: {why}" for n, why in TOO_HIGH.items() for _ in range(4)], out.stderr


def test_accessors_and_with_myelin():
    base = fibers((2, 2, 1), [1, 2], [[0, 1, 0], [0, 0, 1]], [0.5, 2.0], sphere_level=1, params={"preset": "adult"})
    assert (base.dims, base.nvert, base.has_myelin) == ((2, 2, 1), 21, False)
    odf, (wm, _, _), fb, v = base.odf(), base.fractions(), base.fallback(), base.sphere_vertices()
    assert (odf.dtype, wm.dtype, fb.dtype, v.dtype, v.shape) == (np.float32, np.float32, np.uint8, np.float64, (63,))
    odf[:], wm[:], fb[:], v[:] = 7, 9, 3, 0  # every accessor returns a fresh array
    assert rows(base).sum() == 2.5 and set(base.fractions()[0]) == {1} and set(base.fallback()) == {0, 1}
    first = base.with_myelin(np.full(4, 0.25, np.float32))
    second = first.with_myelin(np.array([0, 1, 2, -1], np.float32))  # replaces the map; no range check
    assert (base.has_myelin, first.has_myelin, second.has_myelin) == (False, True, True)
    for m in (first, second):
        assert (m.params(), m.dims, m.nvert) == (base.params(), base.dims, 21)
        np.testing.assert_array_equal(np.r_[m.odf(), m.fallback()], np.r_[base.odf(), base.fallback()])
    for myelin, message in [(np.zeros(3, np.float32), "myelin: expected 4 values, got 3"),
                            (np.zeros(8, np.float32)[::2], "The given array is not contiguous or is misaligned.")]:
        raises(ValueError, message, lambda: base.with_myelin(myelin))
    assert base.has_myelin is False


def walk_build(rng, dims, affine, kappa, odd_weights=()):
    """Points, weights, cross-section, build and serial reference of 300 random walks from the grid."""
    # 300 streamlines: 256 chunks, not all of one. Steps of up to a voxel cross brick faces; most walks leave.
    steps = rng.normal(0, np.minimum(dims, 8) * 0.12, (300, 12, 3))
    vox = rng.uniform(0, dims, (300, 1, 3)) + np.cumsum(steps, axis=1) - steps[:, :1]
    # Far endpoints cost nothing: the planes between them and the box are not visited.
    vox[4, -2:], vox[6, :2] = [[0.5, 0.5, 0.5], [1e10, 0.5, 0.5]], [[0.5, -1e10, 0.5], [0.5, 0.5, 0.5]]
    world, offsets, radius = vox @ affine[:3, :3].T + affine[:3, 3], np.arange(0, 3601, 12, dtype=np.uint32), 0.02
    weights = rng.uniform(0.25, 2, 300).astype(np.float32)
    # Streamlines 0 to 2: the same single segment, cancelling exactly in streamline order only.
    world[:3], weights[:3], weights[5] = world[0, :2].repeat([1, 11], axis=0), (1e17, -1e17, 1), 0
    weights[[3, 150, 299][:len(odd_weights)]] = odd_weights
    mix = build(dims, world.reshape(-1, 3), offsets, weights, affine, {"fiber_radius_mm": radius}, kappa=kappa)
    area = (math.pi * radius) * radius
    ref = build_reference(dims, affine, world.reshape(-1, 3), offsets, weights, kappa, vertices(mix), area)
    return world, weights, area, mix, ref


# Nearest vertex; Watson kernels keeping about 38 % (added as a whole row) and 5 % of the vertices (added as taps).
@pytest.mark.parametrize("kappa", [None, 30.0, 200.0])
@pytest.mark.parametrize("dims", [(7, 5, 3), (13, 1, 9), (1, 1001, 1)])
def test_brick_build_is_the_serial_build(rng, dims, kappa):
    size, count = brick_plan(dims, 321, core.current_threads())
    # Several bricks, partial ones among them (for up to 16 threads).
    assert math.prod(count) > 1 and any(d % s for d, s in zip(dims, size))
    # Voxel axes along world -y, z and x, scaled by powers of two.
    affine = np.array([[0, 0, 1, 0.5], [-2.0, 0, 0, -3], [0, 0.5, 0, 1.25], [0, 0, 0, 1]])
    world, weights, area, mix, ref = walk_build(rng, dims, affine, kappa)
    assert mix.odf().tobytes() == ref.tobytes()
    # The mass: each segment's length inside the box (clipped here, not rasterised) times weight and area.
    a, b = to_voxel(world[:, :-1], affine), to_voxel(world[:, 1:], affine)
    with np.errstate(divide="ignore"):
        t0, t1 = -a / (b - a), (np.array(dims) - a) / (b - a)
    inside = np.clip(np.minimum(np.maximum(t0, t1).min(2), 1) - np.maximum(np.minimum(t0, t1).max(2), 0), 0, None)
    length = np.linalg.norm(np.diff(world, axis=1), axis=2) * np.where(abs(weights) < 1e16, weights, 0)[:, None]
    # Each streamline carries more than 1e-6 of it; narrowing to float32 moves it by about 1e-9.
    assert mix.odf().sum(dtype=float) == pytest.approx(area * (length * inside).sum(), rel=1e-8)
    # Every brick holds mass, so one left out would show in the total.
    i, j, k = np.unravel_index(np.flatnonzero(rows(mix).any(axis=1)), dims, order="F")
    assert len(set(zip(i // size[0], j // size[1], k // size[2]))) == math.prod(count)
    # Infinite and NaN masses are used as given, on the kernel's own vertices only (0 * inf is NaN).
    world, _, _, mix, ref = walk_build(rng, dims, affine, kappa, [np.inf, -np.inf, np.nan])
    np.testing.assert_array_equal(rows(mix), ref)
    assert np.isposinf(ref).any() and np.isneginf(ref).any() and np.isnan(ref).any()
    kept = (kernel_reference(vertices(mix), np.diff(world[3], axis=0), kappa) != 0).mean(axis=1)
    assert (kept < 1).all() and (kappa is None or ((kept >= 0.25) == (kappa < 100)).all())  # dense with drops; taps


def test_fractions_fallback_and_mask():
    raw = np.array([[0.5, 0.3, 0.2], [0, 1, 0], [1, 1, 2], [0, 0, 0], [4e-10, 4e-10, 0], [0.7, 0.1, 0],
                    [1, 0, 0], [1, 0, 0]], np.float32)
    mask = np.array([1, 1, 1, 1, 1, 1, 0.5, 0.5000001], np.float32)  # exactly 0.5 is outside
    # Fibres only in voxels 5 (masked) and 6 (unmasked).
    mix = build((8, 1, 1), *lines_csr([[5.2, 0.5, 0.5], [6.8, 0.5, 0.5]]), maps=[*raw.T.copy(), mask])
    s = raw.astype(float).sum(axis=1, keepdims=True)
    expected = np.where((s > 1e-9) & (mask[:, None] > 0.5), raw / np.maximum(s, 1e-30), 0).astype(np.float32)
    np.testing.assert_array_equal(np.stack(mix.fractions(), axis=1), expected)
    np.testing.assert_array_equal(mix.fallback(), [1, 0, 1, 0, 0, 0, 0, 1])
    assert rows(mix)[6].sum() == pytest.approx(0.8 * math.pi)  # unmasked voxels keep their mass


def test_nothing_deposited():
    # No streamline, a single point, a zero-length segment: masked white matter all falls back.
    for p in (lines_csr(), lines_csr([[0.5] * 3]), lines_csr([[1.5] * 3, [1.5] * 3])):
        mix = build((2, 2, 2), *p, myelin=np.ones(8, np.float32))
        assert not mix.odf().any() and mix.fallback().all() and mix.has_myelin


def test_nearest_vertex_ties():
    # At level 0, (0, 0, 1) is equally close to vertices 2 and 3, (0, 1, 0) to vertices 0 and 1: the lower wins.
    mix = fibers((2, 1, 1), [0, 1], [[0, 0, 1], [0, -1, 0]], [1.0, 1.0], sphere_level=0)
    np.testing.assert_array_equal(rows(mix), np.eye(6)[[2, 0]])


@pytest.mark.parametrize("kappa", [None, 0.3, 5.0, 60.0, 1e6, 0.0, -2.5, -math.inf])  # only kappa > 0 is Watson's
def test_kernel_matches_reference(rng, kappa):
    dirs, weight, voxel = rng.normal(size=(7, 3)), rng.uniform(0.1, 3.0, 7), [0, 2, 2, 3, 1, 1, 1]  # voxel 2 sums two
    dirs[5], dirs[6], weight[4] = 0, 1e-13, 0  # no direction, none longer than 1e-12, no weight: inert, as is the radius
    mix = fibers((4, 1, 1), voxel, dirs, weight, params={"fiber_radius_mm": 3.0}, kappa=kappa)
    ref = np.zeros((4, mix.nvert))
    k = kernel_reference(vertices(mix), dirs, kappa if kappa and kappa > 0 else None)
    np.add.at(ref, voxel, k * (weight * (np.linalg.norm(dirs, axis=1) >= 1e-12))[:, None])
    np.testing.assert_array_equal(rows(mix), ref.astype(np.float32))
    np.testing.assert_array_equal(mix.fallback(), [0, 1, 0, 0])
    # At kappa 1e6 every weight falls below the cut: each entry falls back to its nearest vertex.
    assert kappa != 1e6 or np.count_nonzero(rows(mix)[0]) == 1


def build_args():
    return dict(zip(("wm", "gm", "csf", "mask"), tissue((2, 2, 2))), dims=(2, 2, 2), affine=np.eye(4), weights=None,
                positions=np.array([[0.5, 0.5, 0.5], [1.5, 0.5, 0.5]]), offsets=np.array([0, 2], np.uint32), params={})


@pytest.mark.parametrize("change, message", [
    ({"wm": np.zeros(7, np.float32)}, "wm: expected 8 values, got 7"),
    ({"affine": np.eye(4)[:3], "offsets": np.array([5], np.uint32)}, "affine must be (4, 4), got [3, 4]"),
    ({"affine": np.diag([1.0, 1, 0, 1]), "positions": np.zeros((2, 2))}, "grid affine is singular"),
    ({"affine": np.diag([1e-7, 1e-7, 1e-5, 1])}, "grid affine is singular"),  # |det| below 1e-18
    ({"affine": np.full((4, 4), np.nan)}, "grid affine is singular"),
    ({"affine": np.diag([np.inf, 1, 1, 1])}, "grid affine is not finite"),
    ({"positions": np.zeros((2, 2))}, "positions must have shape (n, 3), got [2, 2]"),
    ({"offsets": np.array([0, 9, 2, 9], np.uint32)[::2]}, "The given array is not contiguous or is misaligned."),
    ({"offsets": np.array([0, 1], np.uint32), "params": {"preset": "x"}}, CSR),
    ({"params": {"preset": "Adult"}, "myelin": np.ones(3, np.float32)},
     "preset: expected 'neonatal', 'adult' or 'infant', got \"Adult\""),
    ({"myelin": np.ones(3, np.float32)}, "myelin: expected 8 values, got 3"),
    ({"dims": (2**32, 2**32, 1)}, "dims [4294967296, 4294967296, 1] hold more voxels than can be addressed"),
    ({"sphere_level": -1}, "while processing 'sphere_level'"),  # OverflowError
])
def test_build_argument_errors(change, message):
    raises(OverflowError if "processing" in message else ValueError, message, lambda: core.build_mixture(**(build_args() | change)))


@pytest.mark.parametrize("kappa", [1e19, 1e300])
def test_huge_kappa_on_a_vertex_deposits_on_that_vertex(kappa):
    # cos^2 rounds to just above 1 on some vertices; the excess must not overflow the kernel.
    verts = vertices(fibers((1, 1, 1), [], [], [], sphere_level=1))
    mix = fibers((len(verts), 1, 1), range(len(verts)), verts, np.ones(len(verts)), kappa=kappa, sphere_level=1)
    np.testing.assert_array_equal(rows(mix), np.eye(len(verts)))


@pytest.mark.parametrize("call, message", [
    (lambda: fibers((10, 10, 10), [0, 1000, 5000], np.ones((3, 3)), np.ones(3)),  # the first, from nvox on
     "fibre voxel index 1000 out of range for [10, 10, 10]"),
    (lambda: fibers((10, 10, 10), [0, 1, 2], np.ones((2, 3)), np.ones(3)), "dirs: expected 3 values, got 2"),
    (lambda: fibers((10, 10, 10), [0, 1, 2000], np.ones((3, 3)), np.ones(2)), "weight: expected 3 values, got 2"),
    (lambda: fibers((10, 10, 10), [0, 1], np.ones((2, 3)), np.ones(4)[::2]),
     "The given array is not contiguous or is misaligned."),
    (lambda: fibers((2, 1, 1), [0, 1], [[1, 0, 0], [np.nan, 0, 1]], [1, 0]), "dirs[1] is not a finite direction"),
    (lambda: fibers((2, 1, 1), [0], [[0, -np.inf, 0]], [1], kappa=4.0), "dirs[0] is not a finite direction"),
    (lambda: fibers((2, 1, 1), [0], [[1, 0, 0]], [1], kappa=math.inf), "kappa must be finite, got inf"),
    (lambda: core.build_mixture(**build_args(), kappa=math.inf), "kappa must be finite, got inf"),
])
def test_fibre_and_kappa_value_errors(call, message):
    raises(ValueError, message, call)


def test_nan_kappa_selects_the_nearest_vertex_in_both_builders(rng):
    # Only a kappa greater than 0 selects the Watson kernel, and NaN is not.
    world = rng.uniform(0, 4, (40, 3))
    voxel, dirs = rng.integers(0, 6, 30), rng.normal(size=(30, 3))
    for make in (lambda k: build((4, 4, 4), world, np.arange(0, 41, 8, dtype=np.uint32), kappa=k),
                 lambda k: fibers((3, 2, 1), voxel, dirs, np.ones(30), kappa=k)):
        nearest = make(None).odf()
        assert make(math.nan).odf().tobytes() == nearest.tobytes() != make(5.0).odf().tobytes()


def test_build_uses_the_points_as_they_were_when_called(rng):
    # Another thread rewrites the points while builds run. Each write copies 480 values, too few
    # for NumPy to release the interpreter lock, so a build sees the points before or after it.
    dims, offsets = (24, 24, 24), np.arange(0, 161, 16, dtype=np.uint32)
    first, second = (np.cumsum(rng.normal(0, 1.5, (160, 3)), axis=0) % 24 for _ in range(2))
    expected = [build(dims, p, offsets, kappa=8.0).odf().tobytes() for p in (first, second)]
    points, stop = first.copy(), threading.Event()

    def rewrite():  # the writer yields the lock between writes, after either one
        for p in itertools.cycle((second, first)):
            if stop.is_set():
                return
            points[:] = p

    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        odfs = (build(dims, points, offsets, kappa=8.0).odf().tobytes() for _ in range(20))
        seen = [expected.index(odf) if odf in expected else None for odf in odfs]
    finally:
        stop.set()
        writer.join()
    assert sorted(set(seen)) == [0, 1]  # each build one of the two; the writer ran between builds


def test_points_given_back_during_the_build_are_not_read_again(rng, tmp_path):
    # On one thread bricks are deposited four at a time; between runs the build drops the points of
    # streamlines with no brick left (these, from the start: those outside the grid), moves the rest
    # of each chunk of streamlines forward and gives whole pages back.
    dims, n, k, radius = (40, 10, 10), 700, 150, 0.02
    size, count = brick_plan(dims, 321, 1)
    voxel = rng.integers(0, dims, (n, 1, 3))
    voxel[rng.random(n) < 1 / 3] += [0, 0, 20]
    # Every segment inside one voxel: one piece, the segment itself, deposited in segment order.
    points = voxel + rng.uniform(0.05, 0.95, (n, k, 3))
    inside = voxel[:, 0, 2] < dims[2]
    # Bricks as evenly filled as the voxels: once half of them are done, half of the points go.
    brick = (voxel[inside, 0] // size) @ [1, count[0], count[0] * count[1]]
    assert math.prod(count) >= 12 and len(set(brick)) == math.prod(count)
    np.savez(tmp_path / "in.npz", points=points.reshape(-1, 3), offsets=np.arange(0, n * k + 1, k, dtype=np.uint32))
    run_isolated(f"""import sys, numpy as np, quorvel._core as core
sys.path[:0] = {[os.path.dirname(__file__), os.path.dirname(os.path.dirname(__file__))]!r}
from test_mixture import build
assert core.set_threads(1)
d = np.load({str(tmp_path / "in.npz")!r})
np.save({str(tmp_path / "odf.npy")!r}, build({dims}, d["points"], d["offsets"], params={{"fiber_radius_mm": {radius}}}).odf())""")
    d = np.diff(points[inside], axis=1).reshape(-1, 3)
    length = np.sqrt((d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2])
    verts = vertices(fibers((1, 1, 1), [], [], [], sphere_level=3))
    ref = np.zeros((math.prod(dims), len(verts)))
    vox = np.repeat(voxel[inside, 0] @ [1, dims[0], dims[0] * dims[1]], k - 1)
    np.add.at(ref, (vox, kernel_reference(verts, d).argmax(axis=1)), length * ((math.pi * radius) * radius))
    assert np.load(tmp_path / "odf.npy").tobytes() == ref.astype(np.float32).tobytes()
