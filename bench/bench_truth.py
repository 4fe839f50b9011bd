"""Throughput of the ground-truth scalar maps (`Mixture.scalars`) on a brain-sized mixture.

A 96x96x60 grid on the level-3 hemisphere (321 vertices), an ellipsoidal brain mask, one to three
fibres per white-matter voxel. Two orientation kernels: nearest vertex (sparse histograms, as
streamlines without `kappa` give) and a Watson kernel (kappa = 16: every vertex carries mass).
Each configuration runs in fresh interpreters, one with a single worker thread and one with all
of them (the pool is sized once per process), and reports voxels per second and the speed-up.

    PYTHONPATH=build/dev/pkg python3 bench/bench_truth.py [--dims 96 96 60] [--repeat 3]
"""
import argparse
import os
import subprocess
import sys

CHILD = r"""
import sys, time
import numpy as np
import quorvel._core as core

threads, nx, ny, nz, kappa, repeat = int(sys.argv[1]), *map(int, sys.argv[2:5]), float(sys.argv[5]), int(sys.argv[6])
assert core.set_threads(threads)
rng = np.random.default_rng(42)
dims = (nx, ny, nz)
x, y, z = np.meshgrid(*(np.linspace(-1, 1, n) for n in dims), indexing="ij")
r2 = (x**2 + y**2 + z**2).ravel(order="F")
mask = (r2 < 0.9).astype(np.float32)
wm = np.clip(1.2 - 1.5 * r2, 0, 1).astype(np.float32) * mask
gm = np.clip(1 - wm - 0.1, 0, 1).astype(np.float32) * mask
csf = (0.1 * mask).astype(np.float32)
wm_vox = np.flatnonzero(wm > 0)
nfib = rng.integers(1, 4, wm_vox.size)
voxel = np.repeat(wm_vox, nfib).astype(np.uint32)
dirs = rng.normal(size=(voxel.size, 3))
weight = rng.uniform(0.2, 1.0, voxel.size)
mix = core.mixture_from_fibers(dims, voxel, dirs, weight, wm, gm, csf, mask, {},
                               kappa=kappa if kappa > 0 else None, sphere_level=3)
mix.scalars()  # warm-up: builds the Watson table and the pool's threads
best = float("inf")
for _ in range(repeat):
    t0 = time.perf_counter()
    mix.scalars()
    best = min(best, time.perf_counter() - t0)
print(core.current_threads(), int(mask.sum()), nx * ny * nz, best)
"""


def run(threads, dims, kappa, repeat):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    out = subprocess.run([sys.executable, "-c", CHILD, str(threads), *map(str, dims), str(kappa), str(repeat)],
                         capture_output=True, text=True, env=env, check=True)
    n, masked, nvox, seconds = out.stdout.split()
    return int(n), int(masked), int(nvox), float(seconds)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--dims", type=int, nargs=3, default=[96, 96, 60])
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    all_threads = len(os.sched_getaffinity(0))
    print(f"grid {args.dims[0]}x{args.dims[1]}x{args.dims[2]}, level-3 hemisphere (321 vertices), "
          f"best of {args.repeat}")
    for label, kappa in (("nearest vertex", 0.0), ("watson kappa=16", 16.0)):
        one = run(1, args.dims, kappa, args.repeat)
        many = run(all_threads, args.dims, kappa, args.repeat)
        _, masked, nvox, _ = one
        print(f"{label}: {masked} of {nvox} voxels in the mask")
        for n, _, _, s in (one, many):
            print(f"  {n:3d} thread(s): {s:8.3f} s  {masked / s:12,.0f} masked voxels/s")
        print(f"  speed-up {one[3] / many[3]:.2f}x on {many[0]} threads")


if __name__ == "__main__":
    main()
