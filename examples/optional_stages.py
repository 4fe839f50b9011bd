"""Every optional stage on one phantom, written as a pipeline would read it, with one physical check
per stage.

The phantom of examples/phantom.py (scaled to 0.8 so that a 4 mm jump stays inside the field of
view) as a slab 60 mm above the scanner's isocentre, where the upper brain sits and gradient
non-linearity is strong, with one empty margin slice below and above it. The road:

    build_mixture
    -> signal_from_mixture(gnl=field)    gradient non-linearity, step 1: each voxel's b-matrix
    -> comp.apply_s0                     tissue S0
    -> comp.apply_multiband_motion       head jumps within volumes and dropout of multiband shots
    -> comp.warp_gnl(field)              gradient non-linearity, step 2: the images move
    -> simulate_acquisition -> files
    gre_synthesize(warp=field)           the GRE field-map scans of the same head
    signal_moving(poses)                 the other motion route: one pose per volume

Both non-linearity steps use one field, evaluated from a Siemens-format coefficient file (the
built-in "connectom-300" set, written out and read back as a user's own file would be).

Written to the output folder (default out/optional_stages):
    dwi.nii.gz, dwi.bval, dwi.bvec, dwi.json   the diffusion series (LAS, FSL bvecs, BIDS sidecar)
    graddev.nii.gz          9 volumes per voxel: the non-linearity tensor in the voxel axes of dwi.nii.gz
    gradient.grad           the coefficient file the field was evaluated from
    motion_truth.json       the multiband schedule, the jump events and the dropped shots
    fmap/magnitude1.nii.gz, fmap/magnitude2.nii.gz, fmap/phasediff.nii.gz, fmap/phasediff.json
                            the GRE field map as a Siemens scanner exports it (phase codes 0..4095)
    fieldmap_hz.nii.gz      the true off-resonance field on the acquired grid

Checks, each printed; the exit status is 1 when one fails:
    gradient non-linearity  the brain's edge moves by the field's displacement there
    motion (multiband)      a 4 mm jump moves the volume 4 mm
    motion (per volume)     a 4 mm pose moves the white-matter signal 4 mm
    dropout                 the signal of a dropped shot falls by the attenuation reported for it
    S0                      grey matter at b = 0 reads its S0 times its fraction
    GRE field map           the field decoded from the phase difference matches the true field
    FSL gradient table      dwi.bvec read back to world vectors gives the simulated directions

Usage: python3 examples/optional_stages.py [--out out/optional_stages] [--small] [--seed 1]
"""

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np

import quorvel._core as core
from phantom import (ProgressBar, as_nifti_array, bids_sidecar, block_mean, bundles, field_map, gradient_table,
                     save_nifti, tissue_maps, voxel_centres)

VOXEL_MM = 2.5
OVERSAMPLING = 2
TABLE_Z_MM = 60.0         # the slab's centre above the isocentre
MARGIN = 1                # empty slices below and above the brain: motion samples beyond the grid as 0
SCALE = 0.8               # phantom size relative to examples/phantom.py
MB = 2                    # multiband factor: slices excited together in one shot
S0 = (1.0, 1.2, 1.4)      # relative S0 of fibre, grey matter and CSF
T2STAR_MS = (45.0, 50.0, 500.0)  # GRE T2* of fibre, grey matter and CSF (illustrative values)
SIZES = {"default": dict(dims=(28, 28, 10), n_dirs=12, count=150),
         "small": dict(dims=(28, 28, 6), n_dirs=6, count=60)}

failures = []


def check(what, value, expected, tol):
    ok = abs(value - expected) <= tol
    print(f"  {'ok  ' if ok else 'FAIL'} {what}: {value:.4f} (expected {expected:.4f} +- {tol:g})")
    if not ok:
        failures.append(what)


def copy_of(comp):
    return core.Compartments.from_images(comp.dims, comp.ngrad, comp.images(), comp.t2)


def volume(flat, ngrad, v):
    """Volume v of a flat 4-D interleaved image, as a flat F-order volume."""
    return flat.reshape(-1, ngrad)[:, v]


def centroid(points, weights):
    w = weights.astype(np.float64)
    return (points * w[:, None]).sum(axis=0) / w.sum()


def half_crossing(profile):
    """Continuous index where a falling profile last crosses 0.5."""
    j = np.flatnonzero(profile > 0.5)[-1]
    return j + (profile[j] - 0.5) / (profile[j] - profile[j + 1])


def fsl_bvecs_to_world(fsl, affine):
    """The inverse of core.fsl_bvecs: FSL bvec rows (n, 3) of an image with this affine -> world RAS."""
    axes = affine[:3, :3] / np.linalg.norm(affine[:3, :3], axis=0)  # unit voxel axes as columns
    v = np.array(fsl, dtype=np.float64)
    if np.linalg.det(affine[:3, :3]) > 0:
        v[:, 0] = -v[:, 0]  # FSL flips x for a positive-determinant (neurological) affine
    return v @ np.linalg.inv(axes)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default="out/optional_stages", help="output folder (default: out/optional_stages)")
    ap.add_argument("--small", action="store_true", help="a small size for continuous integration")
    ap.add_argument("--seed", type=int, default=1, help="seed of the phantom, the dropout and the noise")
    args = ap.parse_args()
    size = SIZES["small" if args.small else "default"]
    out = Path(args.out)
    (out / "fmap").mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(args.seed)
    t_start = time.perf_counter()

    # ---- grids and phantom ----
    dims = size["dims"]
    nz = dims[2]
    affine = np.diag([VOXEL_MM, VOXEL_MM, VOXEL_MM, 1.0])
    affine[:3, 3] = -(np.array(dims) - 1) / 2 * VOXEL_MM + [0.0, 0.0, TABLE_Z_MM]
    sim_affine_flat, sim_dims = core.hires_grid(affine, dims, OVERSAMPLING)
    sim_affine = sim_affine_flat.reshape(4, 4)
    nvox = int(np.prod(sim_dims))
    points = voxel_centres(sim_affine, sim_dims)
    z_of = np.arange(nvox) // (sim_dims[0] * sim_dims[1])  # slice index of every voxel

    inside = (z_of >= MARGIN) & (z_of < nz - MARGIN)
    wm, gm, csf, mask = (np.where(inside, m, 0).astype(np.float32) for m in tissue_maps(sim_affine, sim_dims, SCALE))
    positions, offsets = bundles(rng, nz * VOXEL_MM, SCALE, size["count"])
    positions[:, 2] += TABLE_Z_MM
    bvals, bvecs = gradient_table(size["n_dirs"])
    ngrad = len(bvals)
    params = core.tissue_preset("adult") | {"b_value": float(bvals.max())}
    mix = core.build_mixture(sim_dims, wm, gm, csf, mask, sim_affine, positions, offsets, None, params)
    fib_frac, gm_frac, csf_frac = mix.fractions()
    print(f"phantom: {sim_dims} simulation grid centred {TABLE_Z_MM:g} mm above the isocentre, {ngrad} volumes")

    # ---- gradient non-linearity: one field, from a coefficient file, for both steps ----
    grad_file = out / "gradient.grad"
    grad_file.write_text(core.GradCoef.from_spec("connectom-300").to_siemens())
    coef = core.GradCoef.from_spec(str(grad_file))
    field = core.GnlField.on_grid(coef, sim_dims, sim_affine)  # the grid of the images it will move
    env = field.envelope(sim_affine, 1000.0)
    print(f"non-linearity: {coef.n_terms} terms, R0 {coef.r0_mm:g} mm; largest displacement "
          f"{env['max_disp_mm']:.2f} mm, gradient length {100 * env['max_gradient_dev']:.1f} %, "
          f"angle {env['max_angle_deg']:.1f} deg")
    comp = core.signal_from_mixture(mix, bvals, bvecs, gnl=field)  # step 1: the b-matrix

    # ---- tissue S0 ----
    comp.apply_s0(S0)
    grey = gm_frac > 0.5
    check("S0: grey matter at b = 0 per unit of grey-matter fraction",
          float((volume(comp.images()[1], ngrad, 0)[grey] / gm_frac[grey]).mean()), S0[1], 1e-5)

    # ---- motion with multiband timing, and dropout ----
    # Dropout events drawn for half of the diffusion-weighted volumes, and on the last volume a 4 mm
    # jump at its first shot (so every slice moves) without signal loss.
    n_shots = nz // MB  # one shot per group of MB slices (nz >= MB)
    jumped = ngrad - 1
    drawn = core.dropout_events(bvals, n_shots, 0.5, core.dropout_seed(args.seed))
    events = [e for e in drawn if e["volume"] != jumped]
    events.append({"volume": jumped, "shot": 0, "severity": 0.0, "jump_mm": (0.0, 4.0, 0.0),
                   "jump_deg": (0.0, 0.0, 0.0)})
    b_max = float(bvals.max())
    motion_only = copy_of(comp)  # the same jumps without signal loss, to measure the attenuation
    before = comp.mixed()
    dropped = comp.apply_multiband_motion(sim_affine, MB, True, bvals, b_max, events)
    motion_only.apply_multiband_motion(sim_affine, MB, True, bvals, b_max, [e | {"severity": 0.0} for e in events])
    after, still = comp.mixed(), motion_only.mixed()
    shift = centroid(points, volume(after, ngrad, jumped)) - centroid(points, volume(before, ngrad, jumped))
    check("motion: a 4 mm jump moves the volume (mm along y)", shift[1], 4.0, 0.01)
    for d in (d for d in dropped if d["volume"] != jumped):
        e = next(e for e in events if e["volume"] == d["volume"] and e["shot"] == d["shot"])
        on_shot = np.isin(z_of, d["slices"])
        ratio = volume(after, ngrad, d["volume"])[on_shot].sum() / volume(still, ngrad, d["volume"])[on_shot].sum()
        check(f"dropout: volume {d['volume']} shot {d['shot']} signal ratio = reported attenuation", ratio,
              d["attenuation"], 1e-5)
        check(f"dropout: attenuation = 1 - (b/b_max) severity", d["attenuation"],
              1 - bvals[d["volume"]] / b_max * e["severity"], 1e-6)
    truth = {"grid": "the simulation grid: jumps in world mm and degrees about its centre",
             "affine": sim_affine.tolist(), "dims": list(sim_dims), "mb": MB, "interleaved": True,
             "events": events, "dropped_shots": dropped}
    (out / "motion_truth.json").write_text(  # one key per line, values compact
        "{\n" + ",\n".join(f" {json.dumps(k)}: {json.dumps(v)}" for k, v in truth.items()) + "\n}\n")

    # ---- gradient non-linearity, step 2: the images move ----
    comp.warp_gnl(field, True)
    # A smooth edge across x at x = 20 mm, pulled through the same field, moves by the displacement
    # there. Within 0.05 mm: the field also moves it about 0.7 mm along z, where D_x differs a little.
    edge_x = 20.0
    edge = (1 / (1 + np.exp((points[:, 0] - edge_x) / 2.0))).astype(np.float32)
    rows = [e.reshape(sim_dims[::-1])[nz // 2, sim_dims[1] // 2] for e in (edge, field.warp_volume(edge, False))]
    moved_by = (half_crossing(rows[1]) - half_crossing(rows[0])) * VOXEL_MM / OVERSAMPLING
    disp_x = field.disp().reshape(*sim_dims[::-1], 3)[nz // 2, sim_dims[1] // 2, :, 0]
    check("non-linearity: an edge at x = 20 mm moves by the field's displacement there (mm along x)",
          moved_by, np.interp(edge_x, points[: sim_dims[0], 0], disp_x), 0.05)

    # ---- the other motion route: a pose per volume, streamlines re-rasterised ----
    # A drift along y reaching 4 mm at the last volume: volume u is translated by 4 (u + 1) / ngrad mm.
    poses = core.resolve_poses("linear", ngrad, trans_mm=(0.0, 4.0, 0.0)).reshape(-1, 6)
    moved = core.signal_moving(sim_dims, wm, gm, csf, mask, sim_affine, positions, offsets, bvals, bvecs, params, poses)
    shift = centroid(points, volume(moved.images()[0], ngrad, 1)) - centroid(points, fib_frac)
    check("motion (per volume): volume 1's white matter at b = 0 moves by its pose (mm along y)",
          shift[1], poses[1, 1], 0.01)

    # ---- acquisition and files ----
    acq = core.acquisition_hbcd(dims[1]) | {"n_coils": 4, "accel": 2, "acs_lines": 12, "noise_variance": 2.0}
    fmap = field_map(sim_affine, sim_dims)
    result = core.simulate_acquisition(comp, fmap, dims, bvals, bvecs, acq, seed=args.seed,
                                       progress=ProgressBar("acquiring"))
    reorient = core.reorient_to_las(affine, dims)
    las_affine = core.reorient_affine(affine, reorient).reshape(4, 4)
    save_nifti(out / "dwi.nii.gz", as_nifti_array(result["mag"], reorient, ngrad), las_affine)
    save_nifti(out / "fieldmap_hz.nii.gz", as_nifti_array(block_mean(fmap, sim_dims, OVERSAMPLING), reorient, 1),
               las_affine)
    np.savetxt(out / "dwi.bval", bvals[None, :], fmt="%g")
    np.savetxt(out / "dwi.bvec", core.fsl_bvecs(bvecs, las_affine).reshape(-1, 3).T, fmt="%.6f")
    # Read back as a user with a real protocol would; the RAS affine checks the other handedness.
    back = [fsl_bvecs_to_world(np.loadtxt(out / "dwi.bvec").T, las_affine),
            fsl_bvecs_to_world(core.fsl_bvecs(bvecs, affine).reshape(-1, 3), affine)]
    check("FSL gradient table: .bvec back to world vectors (largest error)",
          max(np.abs(b - bvecs).max() for b in back), 0.0, 1e-5)

    # The tensor in the voxel axes of the LAS file: graddev takes that file's affine.
    tensor = field.graddev(las_affine).reshape(nvox, 9)
    tensor_acq = np.stack([block_mean(np.ascontiguousarray(tensor[:, k]), sim_dims, OVERSAMPLING) for k in range(9)],
                          axis=1).ravel()
    save_nifti(out / "graddev.nii.gz", as_nifti_array(tensor_acq, reorient, 9), las_affine)

    # ---- GRE field map of the same head, distorted by the same field ----
    gre = core.gre_synthesize(sim_dims, sim_affine, dims, affine, fib_frac, gm_frac, csf_frac, S0, T2STAR_MS, fmap,
                              acq["signal_scale"], args.seed, warp=field)
    gre_affine = core.reorient_affine(gre["affine"].reshape(4, 4), reorient).reshape(4, 4)
    for name in ("magnitude1", "magnitude2"):
        save_nifti(out / "fmap" / f"{name}.nii.gz", as_nifti_array(gre[name], reorient, 1), gre_affine)
    codes = gre["phase"][0]
    save_nifti(out / "fmap" / "phasediff.nii.gz", as_nifti_array(codes.astype(np.float32), reorient, 1), gre_affine,
               dtype=np.int16)
    te1, te2 = gre["te_s"]
    (out / "fmap" / "phasediff.json").write_text(json.dumps(
        {"EchoTime1": te1, "EchoTime2": te2, "B0FieldIdentifier": gre["b0_field"]}, indent=2) + "\n")
    hz = (codes * (np.pi / 2048) - np.pi) / (2 * np.pi * (te2 - te1))  # code 2048 is phase 0
    brain = gre["magnitude1"] > 0.5 * np.percentile(gre["magnitude1"], 99)
    error = np.abs(hz - block_mean(fmap, sim_dims, OVERSAMPLING))[brain]
    check("GRE: median |decoded - true field| in the brain (Hz)", float(np.median(error)), 0.0, 3.0)

    sidecar = bids_sidecar(acq, reorient, dims[1]) | {"B0FieldSource": gre["b0_field"]}
    (out / "dwi.json").write_text(json.dumps(sidecar, indent=2) + "\n")

    print(f"done in {time.perf_counter() - t_start:.1f} s; outputs in {out.resolve()}")
    if failures:
        print(f"{len(failures)} check(s) failed: {', '.join(failures)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
