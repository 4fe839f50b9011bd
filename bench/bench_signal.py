"""Throughput of signal_from_mixture on a brain-sized mixture, with and without a gradient
non-linearity field, and its parallel speed-up over one worker thread (each thread count runs
in its own process: the pool is sized once per process).

    PYTHONPATH=build/dev/pkg python3 bench/bench_signal.py [threads...]
"""
import json
import os
import subprocess
import sys
import time

import numpy as np

DIMS = (96, 96, 60)
NGRAD = 100


def build_inputs(core):
    rng = np.random.default_rng(42)
    nx, ny, nz = DIMS
    nvox = nx * ny * nz
    # An ellipsoidal head: white matter inside, grey matter in a shell, CSF around it.
    k, j, i = np.meshgrid(np.arange(nz), np.arange(ny), np.arange(nx), indexing="ij")
    r = np.sqrt(((i - nx / 2) / (0.42 * nx)) ** 2 + ((j - ny / 2) / (0.45 * ny)) ** 2 + ((k - nz / 2) / (0.45 * nz)) ** 2).ravel()
    wm = np.clip(1.2 - r, 0, 1).astype(np.float32)
    gm = np.clip(1 - np.abs(r - 0.85) * 5, 0, 1).astype(np.float32)
    csf = np.clip(1 - np.abs(r - 1.0) * 8, 0, 1).astype(np.float32)
    mask = (r < 1.08).astype(np.float32)
    # Each white-matter voxel holds one to three fibre populations, each smeared over a few
    # nearby directions (like streamline segments), giving a handful of vertices per voxel.
    wm_vox = np.flatnonzero((wm > 0.05) & (mask > 0))
    voxel, dirs, weight = [], [], []
    for pop in range(3):
        vox = wm_vox[rng.random(wm_vox.size) < (1.0, 0.6, 0.25)[pop]]
        axis = rng.normal(size=(vox.size, 3))
        for _ in range(3):
            voxel.append(vox)
            dirs.append(axis + 0.25 * rng.normal(size=axis.shape))
            weight.append(rng.random(vox.size) + 0.5)
    voxel = np.concatenate(voxel).astype(np.uint32)
    mix = core.mixture_from_fibers(DIMS, voxel, np.concatenate(dirs), np.concatenate(weight), wm, gm, csf, mask, {})
    # Two thirds of the voxels myelin-adjusted: those leave the tables and evaluate per voxel.
    myelin = np.clip(rng.random(nvox) * 1.5 - 0.5, 0, 1).astype(np.float32)
    mix = mix.with_myelin(myelin)
    bvals = np.concatenate([np.zeros(10), np.full(45, 1000.0), np.full(45, 2500.0)])
    bvecs = rng.normal(size=(NGRAD, 3))
    affine = np.diag([2.0, 2.0, 2.0, 1.0])
    affine[:3, 3] = [-(n - 1) for n in DIMS]
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), DIMS, affine)
    return mix, myelin, bvals, bvecs, field


def worker(threads):
    import quorvel._core as core

    core.set_threads(threads)
    mix, myelin, bvals, bvecs, field = build_inputs(core)
    odf = mix.odf().reshape(-1, mix.nvert)
    wm, gm, csf = mix.fractions()
    tissue = (wm + gm + csf) > 0
    out = {
        "threads": core.current_threads(),
        "vertices_per_voxel": float((odf != 0).sum(1)[odf.any(1)].mean()),
        "tissue_voxels": int(tissue.sum()),
        "myelinated": float((myelin[tissue] > np.float32(0.001)).mean()),
    }
    for name, gnl, repeats in (("no field", None, 3), ("with field", field, 2)):
        best = float("inf")
        for _ in range(repeats):
            t0 = time.perf_counter()
            core.signal_from_mixture(mix, bvals, bvecs, gnl)
            best = min(best, time.perf_counter() - t0)
        out[name] = best
    print(json.dumps(out))


def main():
    counts = [int(a) for a in sys.argv[1:]] or [1, os.cpu_count() or 1]
    results = []
    for n in counts:
        proc = subprocess.run([sys.executable, __file__, "--worker", str(n)], capture_output=True, text=True, check=True)
        results.append(json.loads(proc.stdout.strip().splitlines()[-1]))
    nvox = DIMS[0] * DIMS[1] * DIMS[2]
    r0 = results[0]
    print(f"signal_from_mixture: {DIMS} = {nvox} voxels ({r0['tissue_voxels']} with tissue) x {NGRAD} volumes, "
          f"{r0['vertices_per_voxel']:.1f} non-zero vertices per fibre voxel, "
          f"{100 * r0['myelinated']:.0f}% of tissue voxels myelin-adjusted")
    base = results[0]
    for r in results:
        for name in ("no field", "with field"):
            rate = nvox * NGRAD / r[name]
            print(f"  {name:10s} {r['threads']:3d} threads: {r[name]:7.3f} s  {rate / 1e6:8.1f} M voxel-volumes/s  "
                  f"speed-up x{base[name] / r[name]:.2f} over {base['threads']} thread(s)")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        worker(int(sys.argv[2]))
    else:
        main()
