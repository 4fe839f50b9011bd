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

Then, each in a fresh process (the pool is sized once per process), one build per configuration
(nearest vertex and kappa, at each thread count): its time, and the growth of the peak resident
memory over the call (its high-water mark reset just before) as a multiple of the float32 odf the
call returns.

Usage: PYTHONPATH=build/dev/pkg python3 bench/bench_mixture.py [n_streamlines] [--threads 1 8] [--repeat 2]
       [--fresh-only]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

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


def grid_affine():
    """The benchmark grid, centred on the world origin."""
    affine = np.diag([VOXEL_MM] * 3 + [1.0])
    affine[:3, 3] = -np.array(DIMS) * VOXEL_MM / 2
    return affine


# One build in a fresh interpreter: argv = this folder, an .npz with positions, offsets and affine,
# kappa (0 for none), threads (0 for the default).
BUILD = r"""
import json, sys, time
import numpy as np
import quorvel._core as core
sys.path.insert(0, sys.argv[1])
import bench_mixture as bm
data = np.load(sys.argv[2])
kappa = float(sys.argv[3]) or None
if int(sys.argv[4]):
    assert core.set_threads(int(sys.argv[4]))
nvox = int(np.prod(bm.DIMS))
maps = [np.full(nvox, v, np.float32) for v in (0.7, 0.2, 0.1, 1.0)]
positions, offsets, affine = data["positions"], data["offsets"], data["affine"]

def status(key):
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith(key))

# Reset the peak resident size to the present one, so the peak after the call is that of the call.
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
t = time.perf_counter()
mix = core.build_mixture(bm.DIMS, *maps, affine, positions, offsets, None, {}, kappa=kappa)
seconds = time.perf_counter() - t
print(json.dumps({"seconds": seconds, "growth": (status("VmHWM:") - before) / (mix.odf().nbytes),
                  "threads": core.current_threads()}))
"""


def build_in_fresh_process(data, kappa, threads=0):
    """Time, peak growth over the odf's size and thread count of one build from `data` (an .npz)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    out = subprocess.run([sys.executable, "-c", BUILD, str(Path(__file__).resolve().parent), str(data),
                          str(kappa or 0.0), str(threads)], capture_output=True, text=True, env=env, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def fresh_builds(positions, offsets, thread_counts, repeat):
    with tempfile.TemporaryDirectory() as tmp:
        data = Path(tmp) / "tractogram.npz"
        np.savez(data, positions=positions, offsets=offsets, affine=grid_affine())
        print("\nfresh process per build (best time of the repeats, largest growth):")
        for kappa in (None, KAPPA):
            for threads in thread_counts:
                runs = [build_in_fresh_process(data, kappa, threads) for _ in range(repeat)]
                label = "nearest vertex" if kappa is None else f"kappa={kappa:g}"
                print(f"  {label:>14}, {runs[0]['threads']} threads: {min(r['seconds'] for r in runs):.2f} s, "
                      f"peak growth {max(r['growth'] for r in runs):.3f} x odf")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("n", type=int, nargs="?", default=100_000)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 8])
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--fresh-only", action="store_true", help="only the fresh-process builds")
    args = parser.parse_args()
    n = args.n
    rng = np.random.default_rng(42)
    positions, offsets = synthetic_tractogram(rng, n)
    if args.fresh_only:
        return fresh_builds(positions, offsets, args.threads, args.repeat)
    nvox = int(np.prod(DIMS))
    base = dict(dims=DIMS, wm=np.full(nvox, 0.7, np.float32), gm=np.full(nvox, 0.2, np.float32),
                csf=np.full(nvox, 0.1, np.float32), mask=np.ones(nvox, np.float32), affine=grid_affine(),
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
    fresh_builds(positions, offsets, args.threads, args.repeat)


if __name__ == "__main__":
    main()
