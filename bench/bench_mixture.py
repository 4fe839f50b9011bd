"""Throughput of build_mixture on a tractogram of realistic size.

Builds a mixture from a synthetic tractogram (100,000 streamlines of 100 points, 1 mm steps, on a
96x96x60 grid of 2 mm voxels) with and without an orientation concentration, and prints segments
per second and how the per-segment time splits between rasterising and depositing.

How the split is measured, all in this one run:
  * fixed(level): the same call with every weight 0. Every argument is converted and copied, the
    hemisphere is built and the histogram allocated and finalised, but every streamline is skipped:
    this is the cost that does not scale with the segments.
  * segment work(level) = full(level) - fixed(level).
  * rasterising ~ segment work on the level-0 hemisphere (6 vertices): the rasteriser runs exactly
    as before, while finding the kernel and depositing shrink to a 6-vertex scan and a handful of
    additions into a small histogram. It is therefore an upper bound on the rasteriser's time.
  * depositing (kernel + accumulation) = segment work on the default hemisphere - rasterising.

Usage: PYTHONPATH=build/dev/pkg python3 bench/bench_mixture.py [n_streamlines]
"""
import sys
import time

import numpy as np

import quorvel._core as core

DIMS = (96, 96, 60)
VOXEL_MM = 2.0
POINTS = 100
STEP_MM = 1.0
KAPPA = 20.0


def synthetic_tractogram(rng, n):
    """Persistent random walks that bounce off the walls of the field of view."""
    lo = np.zeros(3) + 4.0
    hi = np.array(DIMS) * VOXEL_MM - 4.0
    pos = rng.uniform(lo, hi, (n, 3))
    d = rng.normal(size=(n, 3))
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    out = np.empty((n, POINTS, 3))
    out[:, 0] = pos
    for k in range(1, POINTS):
        d += 0.15 * rng.normal(size=(n, 3))
        d /= np.linalg.norm(d, axis=1, keepdims=True)
        outside = (pos + STEP_MM * d < lo) | (pos + STEP_MM * d > hi)
        d[outside] *= -1
        pos = pos + STEP_MM * d
        out[:, k] = pos
    # World coordinates of a grid centred on the origin.
    out -= np.array(DIMS) * VOXEL_MM / 2
    offsets = np.arange(0, n * POINTS + 1, POINTS, dtype=np.uint32)
    return out.reshape(-1, 3), offsets


def timed(repeats=3, **kw):
    """Best of a few calls: the first touch of a fresh multi-gigabyte histogram varies most."""
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        mix = core.build_mixture(**kw)
        best = min(best, time.perf_counter() - t0)
        del mix
    return best


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    rng = np.random.default_rng(42)
    positions, offsets = synthetic_tractogram(rng, n)
    nvox = int(np.prod(DIMS))
    affine = np.diag([VOXEL_MM] * 3 + [1.0])
    affine[:3, 3] = -np.array(DIMS) * VOXEL_MM / 2
    base = dict(dims=DIMS, wm=np.full(nvox, 0.7, np.float32), gm=np.full(nvox, 0.2, np.float32),
                csf=np.full(nvox, 0.1, np.float32), mask=np.ones(nvox, np.float32), affine=affine,
                positions=positions, offsets=offsets, params={})
    ones = np.ones(n, np.float32)
    zeros = np.zeros(n, np.float32)
    segments = n * (POINTS - 1)
    print(f"{n} streamlines x {POINTS} points ({segments} segments), grid {DIMS} of {VOXEL_MM} mm voxels")

    timed(**base, weights=zeros, repeats=1)  # warm-up
    fixed = {level: timed(**base, weights=zeros, sphere_level=level) for level in (0, 3)}
    print(f"fixed cost (all weights 0): level 0 {fixed[0]:.2f} s, level 3 {fixed[3]:.2f} s")
    for kappa in (None, KAPPA):
        full = {level: timed(**base, weights=ones, kappa=kappa, sphere_level=level, repeats=2 if kappa else 3)
                for level in (0, 3)}
        raster = full[0] - fixed[0]
        work = full[3] - fixed[3]
        label = "nearest vertex" if kappa is None else f"kappa={kappa:g}"
        print(f"\n{label}: build {full[3]:.2f} s on the 321-vertex hemisphere "
              f"({segments / full[3] / 1e6:.2f} M segments/s end to end, "
              f"{segments / work / 1e6:.2f} M segments/s of segment work)")
        print(f"  rasterising (level-0 run) {raster:.2f} s = {100 * raster / work:.0f}% of segment work, "
              f"depositing (kernel + accumulation) {work - raster:.2f} s = {100 * (work - raster) / work:.0f}%")


if __name__ == "__main__":
    main()
