"""From a tractogram file to a multi-shell acquisition and its ground truth, written as NIfTI.

    tractogram (.tck / .trk, read with nibabel) -> positions + CSR offsets
      -> build_mixture -> signal_from_mixture -> simulate_acquisition -> files
      -> Mixture.scalars / Mixture.truth_peaks -> ground-truth files

Without a tractogram argument the example first makes one: two bundles of straight streamlines
crossing at 90 degrees in the axial plane, saved as crossing.tck in the output folder, then loaded
back like any other file. A tractogram carries no tissue maps, so they come from the track
density: white matter where streamlines pass, grey matter elsewhere in the box around them.
Only a slab of slices through the middle of the tractogram is simulated (`--slices`).

The gradient table has two shells, b = 1000 and 2000 s/mm^2. The simulated b of volume k is
params["b_value"] * bvals[k] / max(bvals), so the example sets b_value to 2000, the largest b.

Written to the output folder (default out/tractogram):
    dwi.nii.gz             magnitude images, LAS storage (float32, 4-D)
    dwi.bval, dwi.bvec     FSL gradient table (bvecs in the FSL voxel convention of dwi.nii.gz)
    dwi.json               BIDS sidecar
    fieldmap_hz.nii.gz     the off-resonance field the acquisition saw, on the acquired grid
    truth/<name>.nii.gz    the 27 ground-truth maps, averaged over each acquired voxel
    truth/peaks.nii.gz     up to 3 true fibre peaks per acquired voxel: 9 values per voxel,
                           (x, y, z) of each peak in world RAS, unit direction times its fraction

Usage: python3 examples/from_tractogram.py [TRACTOGRAM] [--out out/tractogram] [--small]
       [--voxel MM] [--slices N] [--seed 1]
"""

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np

import quorvel._core as core
from phantom import ProgressBar, as_nifti_array, bids_sidecar, block_mean, gradient_table, save_nifti, voxel_centres

OVERSAMPLING = 2
NPEAKS = 3


def crossing_bundles(rng, half_length_mm, count):
    """Two bundles of `count` straight streamlines crossing at 90 degrees about the origin,
    one point per millimetre, as a list of (n, 3) arrays in world RAS mm."""
    lines = []
    n_points = int(2 * half_length_mm) + 1
    t = np.linspace(-half_length_mm, half_length_mm, n_points)[:, None]
    for axis in (np.array([1.0, 0.0, 0.0]), np.array([0.0, 1.0, 0.0])):
        across = np.cross(axis, [0.0, 0.0, 1.0])
        for _ in range(count):
            offset = across * rng.uniform(-6, 6) + np.array([0.0, 0.0, rng.uniform(-6, 6)])
            lines.append(offset + t * axis)
    return lines


def load_tractogram(path):
    """positions (n, 3) float64 world RAS mm and CSR offsets (n_streamlines + 1,) uint32."""
    import nibabel as nib

    # nibabel returns the streamlines of both formats in world RAS millimetres.
    streamlines = nib.streamlines.load(str(path)).streamlines
    lengths = np.fromiter((len(s) for s in streamlines), dtype=np.int64, count=len(streamlines))
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.uint32)
    positions = np.ascontiguousarray(streamlines.get_data(), dtype=np.float64).reshape(-1, 3)
    return positions, offsets


def acquired_grid(positions, voxel_mm, n_slices):
    """An axial grid around the tractogram's bounding box (even in-plane sizes), cut to
    `n_slices` slices through its middle: (affine (4, 4), dims)."""
    lo, hi = positions.min(axis=0) - 2 * voxel_mm, positions.max(axis=0) + 2 * voxel_mm
    size = np.ceil((hi - lo) / voxel_mm).astype(int)
    size[:2] += size[:2] % 2
    if n_slices:
        lo[2] += (size[2] - min(n_slices, size[2])) // 2 * voxel_mm
        size[2] = min(n_slices, size[2])
    affine = np.diag([voxel_mm, voxel_mm, voxel_mm, 1.0])
    affine[:3, 3] = lo + voxel_mm / 2
    return affine, tuple(int(s) for s in size)


def tissue_from_density(positions, affine, dims):
    """White matter from the point density (saturating at 3 points per voxel), grey matter in
    the rest of the box; flat F-order float32 maps (x fastest), as the module takes them."""
    ijk = np.linalg.solve(affine, np.c_[positions, np.ones(len(positions))].T)[:3].T
    edges = [np.arange(n + 1) - 0.5 for n in dims]
    density, _ = np.histogramdd(ijk, bins=edges)  # indexed [x, y, z]
    wm = np.clip(density / 3.0, 0, 1)
    gm = 1 - wm
    flat = lambda a: np.ascontiguousarray(a.ravel(order="F"), dtype=np.float32)  # noqa: E731
    return flat(wm), flat(gm), flat(np.zeros(dims)), flat(np.ones(dims))


def field_map(affine, dims):
    """Off-resonance in Hz: a 40 Hz bump centred 10 mm anterior to the grid centre."""
    p = voxel_centres(affine, dims)
    centre = p.mean(axis=0) + [0.0, 10.0, 0.0]
    return (40.0 * np.exp(-np.sum((p - centre) ** 2, axis=1) / (2 * 12.0**2))).astype(np.float32)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("tractogram", nargs="?", help=".tck or .trk file (default: make two crossing bundles)")
    ap.add_argument("--out", default="out/tractogram", help="output folder (default: out/tractogram)")
    ap.add_argument("--small", action="store_true", help="a small size for continuous integration")
    ap.add_argument("--voxel", type=float, default=0.0, help="acquired voxel size in mm (default 2, 2.5 with --small)")
    ap.add_argument("--slices", type=int, default=0, help="slices to simulate (default 10, 4 with --small)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the generated bundles and of the noise")
    args = ap.parse_args()
    import nibabel as nib

    out = Path(args.out)
    (out / "truth").mkdir(parents=True, exist_ok=True)
    voxel = args.voxel or (2.5 if args.small else 2.0)
    n_slices = args.slices or (4 if args.small else 10)
    t_start = time.perf_counter()

    path = Path(args.tractogram) if args.tractogram else out / "crossing.tck"
    if not args.tractogram:
        rng = np.random.default_rng(args.seed)
        lines = crossing_bundles(rng, 16.0 if args.small else 30.0, 150 if args.small else 600)
        nib.streamlines.save(nib.streamlines.Tractogram(lines, affine_to_rasmm=np.eye(4)), str(path))
    positions, offsets = load_tractogram(path)
    print(f"{path}: {len(offsets) - 1} streamlines, {len(positions)} points")

    affine, dims = acquired_grid(positions, voxel, n_slices)
    sim_affine_flat, sim_dims = core.hires_grid(affine, dims, OVERSAMPLING)
    sim_affine = sim_affine_flat.reshape(4, 4)  # hires_grid returns 16 row-major values
    wm, gm, csf, mask = tissue_from_density(positions, sim_affine, sim_dims)

    bvals, bvecs = gradient_table(6 if args.small else 16, shells=(1000.0, 2000.0))
    params = core.tissue_preset("adult") | {"b_value": float(bvals.max())}
    mix = core.build_mixture(sim_dims, wm, gm, csf, mask, sim_affine, positions, offsets, None, params)
    comp = core.signal_from_mixture(mix, bvals, bvecs)
    print(f"acquired grid {dims} at {voxel} mm, simulated on {sim_dims}; {len(bvals)} volumes, "
          f"b = {sorted(set(bvals.tolist()))}")

    # HBCD-like EPI with four coils; noise_variance 4 gives a white-matter b = 0 SNR of about 30.
    acq = dict(core.acquisition_hbcd(dims[1]), n_coils=4, noise_variance=4.0)
    fmap = field_map(sim_affine, sim_dims)
    result = core.simulate_acquisition(comp, fmap, dims, bvals, bvecs, acq, seed=args.seed,
                                       progress=ProgressBar("acquiring"))

    nvol = len(bvals)
    reorient = core.reorient_to_las(affine, dims)
    las_affine = core.reorient_affine(affine, reorient).reshape(4, 4)
    save_nifti(out / "dwi.nii.gz", as_nifti_array(result["mag"], reorient, nvol), las_affine)
    save_nifti(out / "fieldmap_hz.nii.gz",
               as_nifti_array(block_mean(fmap, sim_dims, OVERSAMPLING), reorient, 1), las_affine)
    np.savetxt(out / "dwi.bval", bvals[None, :], fmt="%g")
    np.savetxt(out / "dwi.bvec", core.fsl_bvecs(bvecs, las_affine).reshape(-1, 3).T, fmt="%.6f")
    (out / "dwi.json").write_text(json.dumps(bids_sidecar(acq, reorient, dims[1]), indent=2) + "\n")

    # Ground truth: the maps lie on the simulation grid, so each is averaged over the o x o fine
    # voxels of an acquired voxel; the peaks already come per acquired voxel.
    truth = dict(zip(core.scalar_names(), mix.scalars()))
    for name, fine in truth.items():
        save_nifti(out / "truth" / f"{name}.nii.gz",
                   as_nifti_array(block_mean(fine, sim_dims, OVERSAMPLING), reorient, 1), las_affine)
    peaks = mix.truth_peaks(OVERSAMPLING, NPEAKS)
    save_nifti(out / "truth" / "peaks.nii.gz", as_nifti_array(peaks, reorient, 3 * NPEAKS), las_affine)

    fa = as_nifti_array(block_mean(truth["fa"], sim_dims, OVERSAMPLING), reorient, 1)
    print(f"done in {time.perf_counter() - t_start:.1f} s; true FA in white matter "
          f"{fa[fa > 0.3].mean():.2f} (mean over voxels with FA > 0.3); outputs in {out.resolve()}")


if __name__ == "__main__":
    sys.exit(main())
