"""A brain-sized acquisition spread over a Dask cluster in slabs of slices, checked bit for bit.

Every slice of every volume is acquired independently: its shot phase, coil noise and image
noise are keyed by the global slice index, and `simulate_acquisition` takes that index
(`slice_z`) and the slice count of the whole volume (`nz_full`) for a slab of consecutive
slices. A slab is therefore a unit of work that any machine can do on its own:

    client:  phantom -> signal (slab by slab, to bound memory) -> full Compartments
    workers: slab images -> Compartments.from_images -> simulate_acquisition(slice_z, nz_full)
    client:  slab results, concatenated along z -> compared with one single-process run

Flat 4-D images have the volume index fastest and z slowest, so a slab's output is one
contiguous block of the whole image and assembling is a concatenation.

The default size is brain-like: 96 x 96 x 60 acquired at 2 mm, simulated at oversampling 2
(192 x 192 x 60), 2 + 30 volumes, four coils with GRAPPA R = 2. `--small` runs a few-second
version for continuous integration.

The cluster is a LocalCluster of worker processes unless `--scheduler` names a running one
(see the README for a multi-machine cluster; every machine needs the same quorvel build).

Writes to --out (default out/distributed): dwi.nii.gz (the distributed magnitude, LAS),
dwi.bval, dwi.bvec and report.json (sizes, timings and whether the two runs are identical).
Exits with status 1 when the distributed result differs from the single-process one.

Usage: python3 examples/distributed.py [--small] [--scheduler ADDRESS] [--workers N]
       [--threads N] [--slab N] [--out out/distributed] [--seed 1]
"""

import argparse
import importlib.util
import json
import sys
import time
from pathlib import Path

import numpy as np

import quorvel._core as core

# This file's name shadows the `distributed` package that Dask imports: take this folder off the
# import path (worker processes inherit the path) and load the sibling phantom example by file.
HERE = Path(__file__).resolve().parent
sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != HERE]
_spec = importlib.util.spec_from_file_location("phantom", HERE / "phantom.py")
phantom = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(phantom)

SIZES = {
    # acquired matrix, voxel size (mm), diffusion directions, streamlines per bundle
    "brain": dict(dims=(96, 96, 60), voxel_mm=2.0, n_dirs=30, count=3000),
    "small": dict(dims=(24, 24, 8), voxel_mm=2.5, n_dirs=8, count=150),
}
OVERSAMPLING = 2


def acquire_slab(images, t2, sim_dims, fmap, acq_dims, bvals, bvecs, acquisition, seed, slice_z, nz_full, threads):
    """Runs on a worker: one slab of consecutive slices through the whole k-space simulation."""
    if threads > 0:
        # Fixes this worker process's pool on its first task; later calls return False.
        core.set_threads(threads)
    # Arrays that arrive over the network may sit unaligned in the message buffer, and the module
    # reads only aligned, contiguous data: copy those that are not.
    images, fmap, bvals, bvecs = ([np.require(a, requirements="CA") for a in images],
                                  *(np.require(a, requirements="CA") for a in (fmap, bvals, bvecs)))
    t0 = time.perf_counter()
    comp = core.Compartments.from_images(sim_dims, len(bvals), images, t2)
    out = core.simulate_acquisition(comp, fmap, acq_dims, bvals, bvecs, acquisition, seed=seed,
                                    slice_z=slice_z, nz_full=nz_full)
    return out["re"], out["im"], time.perf_counter() - t0


def slab_bounds(nz, slab):
    return [(z0, min(z0 + slab, nz)) for z0 in range(0, nz, slab)]


def build_signal(sim_affine, sim_dims, shape, positions, offsets, params, bvals, bvecs, slabs):
    """Per-compartment images of the whole simulation grid, built slab by slab.

    The orientation mixture holds one float32 per hemisphere vertex and voxel (1.5 GB per
    million voxels at the default 321 vertices), so it is built on one slab at a time; the slab
    grid is the whole grid shifted by z0 slices. `shape` is the (scale, half_height) of the
    phantom brain. Returns (images, t2) per slab.
    """
    snx, sny, _ = sim_dims
    per_slab = []
    for z0, z1 in slabs:
        shift = np.eye(4)
        shift[2, 3] = z0
        affine = sim_affine @ shift
        dims = (snx, sny, z1 - z0)
        wm, gm, csf, mask = phantom.tissue_maps(affine, dims, *shape)
        mix = core.build_mixture(dims, wm, gm, csf, mask, affine, positions, offsets, None, params)
        comp = core.signal_from_mixture(mix, bvals, bvecs)
        per_slab.append((comp.images(), comp.t2))
    return per_slab


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--small", action="store_true", help="a few-second size for continuous integration")
    ap.add_argument("--scheduler", help="address of a running Dask scheduler (default: a LocalCluster)")
    ap.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default 2)")
    ap.add_argument("--threads", type=int, default=0,
                    help="quorvel threads per worker process (default: CPUs / workers on a LocalCluster, "
                         "the machine's default on a remote cluster)")
    ap.add_argument("--slab", type=int, default=0, help="slices per slab (default: 6, or 2 with --small)")
    ap.add_argument("--out", default="out/distributed", help="output folder (default: out/distributed)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the phantom and of the acquisition noise")
    args = ap.parse_args()
    from dask.distributed import Client, LocalCluster, as_completed
    import nibabel as nib
    import os

    size = SIZES["small" if args.small else "brain"]
    dims, vox = size["dims"], size["voxel_mm"]
    slab = args.slab or (2 if args.small else 6)
    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(args.seed)

    # Acquired grid centred on the world origin, and the simulation grid twice as fine in-plane.
    affine = np.diag([vox, vox, vox, 1.0])
    affine[:3, 3] = -(np.array(dims) - 1) / 2 * vox
    sim_affine_flat, sim_dims = core.hires_grid(affine, dims, OVERSAMPLING)
    sim_affine = sim_affine_flat.reshape(4, 4)
    scale = dims[0] * vox / 80.0  # the phantom brain fills most of the field of view
    shape = (scale, dims[2] * vox / 2 * 0.9)

    bvals, bvecs = phantom.gradient_table(size["n_dirs"])
    params = core.tissue_preset("adult") | {"b_value": float(bvals.max())}
    positions, offsets = phantom.bundles(rng, dims[2] * vox, scale=scale, count=size["count"])
    nvol, nz = len(bvals), dims[2]
    slabs = slab_bounds(nz, slab)

    t0 = time.perf_counter()
    per_slab = build_signal(sim_affine, sim_dims, shape, positions, offsets, params, bvals, bvecs, slabs)
    t2 = per_slab[0][1]
    full_images = [np.concatenate([imgs[c] for imgs, _ in per_slab]) for c in range(len(t2))]
    comp = core.Compartments.from_images(sim_dims, nvol, full_images, t2)
    fmap = phantom.field_map(sim_affine, sim_dims)
    acq = dict(core.acquisition_hbcd(dims[1]), n_coils=4, accel=2, noise_variance=1.0)
    t_signal = time.perf_counter() - t0
    print(f"signal: {sim_dims} simulation grid, {nvol} volumes, {len(offsets) - 1} streamlines, "
          f"{len(slabs)} slabs of up to {slab} slices ({t_signal:.1f} s)")

    # ---- distributed run ----
    if args.scheduler:
        client, cluster, threads = Client(args.scheduler), None, args.threads
    else:
        threads = args.threads or max(1, (os.cpu_count() or 2) // args.workers)
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    print(f"cluster: {client.scheduler.address}, {len(client.scheduler_info()['workers'])} workers")
    plane_sim = sim_dims[0] * sim_dims[1]
    t0 = time.perf_counter()
    futures = {}
    for k, (z0, z1) in enumerate(slabs):
        images = client.scatter(per_slab[k][0])
        fut = client.submit(acquire_slab, images, t2, (sim_dims[0], sim_dims[1], z1 - z0),
                            fmap[z0 * plane_sim:z1 * plane_sim], (dims[0], dims[1], z1 - z0), bvals, bvecs, acq,
                            args.seed, list(range(z0, z1)), nz, threads, pure=False)
        futures[fut] = k
    parts = [None] * len(slabs)
    for done, fut in enumerate(as_completed(futures), 1):
        parts[futures[fut]] = fut.result()
        sys.stderr.write(f"\rslabs done: {done}/{len(slabs)}")
    sys.stderr.write("\n")
    re = np.concatenate([p[0] for p in parts])
    im = np.concatenate([p[1] for p in parts])
    t_dist = time.perf_counter() - t0
    t_work = sum(p[2] for p in parts)
    client.close()
    if cluster is not None:
        cluster.close()
    del per_slab, parts

    # ---- the same acquisition in this process, in one call ----
    t0 = time.perf_counter()
    ref = core.simulate_acquisition(comp, fmap, dims, bvals, bvecs, acq, seed=args.seed)
    t_single = time.perf_counter() - t0
    # Compared as bit patterns, so -0.0 against 0.0 or differing NaNs count as differences.
    identical = bool(np.array_equal(re.view(np.uint32), ref["re"].view(np.uint32))
                     and np.array_equal(im.view(np.uint32), ref["im"].view(np.uint32)))

    reorient = core.reorient_to_las(affine, dims)
    las_affine = core.reorient_affine(affine, reorient).reshape(4, 4)
    mag = np.sqrt(re * re + im * im)
    nib.save(nib.Nifti1Image(phantom.as_nifti_array(mag, reorient, nvol), las_affine), out_dir / "dwi.nii.gz")
    np.savetxt(out_dir / "dwi.bval", bvals[None, :], fmt="%g")
    np.savetxt(out_dir / "dwi.bvec", core.fsl_bvecs(bvecs, las_affine).reshape(-1, 3).T, fmt="%.6f")
    report = {
        "acquired_dims": list(dims), "simulation_dims": list(sim_dims), "volumes": nvol,
        "slabs": [list(s) for s in slabs], "scheduler": args.scheduler or "LocalCluster",
        "signal_s": round(t_signal, 2), "distributed_s": round(t_dist, 2), "worker_compute_s": round(t_work, 2), "single_process_s": round(t_single, 2),
        "identical": identical,
    }
    (out_dir / "report.json").write_text(json.dumps(report, indent=2) + "\n")
    print(f"distributed {t_dist:.1f} s (the workers computed for {t_work:.1f} s in all), single process {t_single:.1f} s; "
          f"{'bit-identical' if identical else 'DIFFERENT'}; outputs in {out_dir.resolve()}")
    if not identical:
        sys.exit(1)


if __name__ == "__main__":
    main()
