"""A small synthetic phantom taken through the whole simulation and written as a scanner would.

The phantom is an elliptic slab of brain: grey matter at the rim, two CSF-filled ventricles, and
white matter holding three fibre bundles given as streamlines (two crossing in plane at 60
degrees, one running through the slab). The road:

    build_mixture -> signal_from_mixture -> simulate_acquisition -> reorient to LAS -> files

The signal is simulated on a grid twice as fine in-plane as the acquired one, and acquired with
an HBCD-like single-shot EPI protocol (partial Fourier, four coils, GRAPPA R = 2, Nyquist ghost,
k-space noise) through a smooth off-resonance field that distorts the images along the
phase-encoding axis.

Written to the output folder (default out/phantom):
    dwi.nii.gz             magnitude images, LAS storage (float32, 4-D)
    dwi_phase.nii.gz       phase images in radians
    dwi.bval, dwi.bvec     FSL gradient table (bvecs in the FSL voxel convention of dwi.nii.gz)
    dwi.json               BIDS sidecar: phase-encoding direction, echo time, readout timing
    fieldmap_hz.nii.gz     the off-resonance field the acquisition saw, on the acquired grid
    wm.nii.gz, gm.nii.gz, csf.nii.gz   the tissue fractions on the acquired grid
    phantom.png            a few slices: b = 0, two diffusion directions, the field map

Usage: python3 examples/phantom.py [--out out/phantom] [--seed 1]
"""

import argparse
import json
import sys
import time
from pathlib import Path

import numpy as np

import quorvel._core as core

ACQ_DIMS = (28, 28, 6)  # acquired matrix: x (readout), y (phase encoding), z (slices)
VOXEL_MM = 2.5
OVERSAMPLING = 2


# ---- phantom geometry (world RAS millimetres) ----


def voxel_centres(affine, dims):
    """World coordinates of every voxel centre, F-order (x fastest) like every flat image."""
    nx, ny, nz = dims
    k, j, i = np.meshgrid(np.arange(nz), np.arange(ny), np.arange(nx), indexing="ij")
    ijk1 = np.stack([i.ravel(), j.ravel(), k.ravel(), np.ones(i.size)])
    return (affine @ ijk1)[:3].T


def tissue_maps(affine, dims, scale=1.0, half_height=None):
    """Smooth partial-volume fractions: brain ellipse, grey-matter rim, two ventricles.

    The brain is 60 x 66 mm times `scale` in-plane; with `half_height` (mm) it is an ellipsoid,
    otherwise a cylinder along z.
    """
    p = voxel_centres(affine, dims)
    x, y = p[:, 0] / scale, p[:, 1] / scale
    r2 = (x / 30.0) ** 2 + (y / 33.0) ** 2
    if half_height is not None:
        r2 = r2 + (p[:, 2] / half_height) ** 2
    r = np.sqrt(r2)  # 1 at the brain edge
    brain = 1 / (1 + np.exp((r - 1.0) / 0.02))
    cortex = brain / (1 + np.exp(-(r - 0.84) / 0.02))
    vent = sum(1 / (1 + np.exp((np.sqrt(((x - cx) / 4.0) ** 2 + ((y - 4.0) / 9.0) ** 2) - 1) / 0.1))
               for cx in (-7.0, 7.0))
    csf = np.clip(vent * brain + 0.3 * cortex * (r > 0.95), 0, 1)
    gm = np.clip(cortex - csf, 0, 1)
    wm = np.clip(brain - gm - csf, 0, 1)
    f32 = lambda a: np.ascontiguousarray(a, dtype=np.float32)  # noqa: E731
    return f32(wm), f32(gm), f32(csf), f32(brain)


def bundles(rng, nz_mm, scale=1.0, count=150):
    """Three bundles of `count` streamlines each, points every 0.5 mm times `scale` in-plane:
    (positions (n, 3), offsets)."""
    lines = []
    half = nz_mm / 2 - 0.5

    def straight(start, stop, n):
        t = np.linspace(0, 1, n)[:, None]
        return start + t * (stop - start)

    for _ in range(count):  # left-right, below the centre
        y, z = rng.uniform(-11, -1), rng.uniform(-half, half)
        lines.append(straight(np.array([-26.0, y, z]), np.array([26.0, y + rng.normal(0, 0.5), z]), 105))
    d = np.array([np.cos(np.radians(60)), np.sin(np.radians(60)), 0.0])
    n = np.array([-d[1], d[0], 0.0])
    for _ in range(count):  # 60 degrees, crossing the first bundle
        c = n * rng.uniform(-5, 5) + np.array([0, 0, rng.uniform(-half, half)])
        lines.append(straight(c - 26 * d, c + 26 * d, 105))
    for _ in range(count):  # through the slab
        a, rad = rng.uniform(0, 2 * np.pi), 5 * np.sqrt(rng.uniform())
        x, y = 13 + rad * np.cos(a), 13 + rad * np.sin(a)
        lines.append(straight(np.array([x, y, -nz_mm]), np.array([x, y, nz_mm]), int(4 * nz_mm) + 1))
    offsets = np.concatenate([[0], np.cumsum([len(s) for s in lines])]).astype(np.uint32)
    positions = np.concatenate(lines) * [scale, scale, 1.0]
    return np.ascontiguousarray(positions), offsets


def gradient_table(n_dirs=15, shells=(1000.0,), n_b0=2):
    """n_b0 volumes at b = 0, then n_dirs directions on a golden-angle spiral for each shell (s/mm^2)."""
    k = np.arange(n_dirs) + 0.5
    z = k / n_dirs  # upper hemisphere
    phi = np.pi * (3 - np.sqrt(5)) * k
    dirs = np.stack([np.sqrt(1 - z**2) * np.cos(phi), np.sqrt(1 - z**2) * np.sin(phi), z], axis=1)
    bvals = np.concatenate([np.zeros(n_b0)] + [np.full(n_dirs, float(b)) for b in shells])
    bvecs = np.concatenate([np.zeros((n_b0, 3))] + [dirs] * len(shells))
    return bvals, np.ascontiguousarray(bvecs)


def field_map(affine, dims):
    """Off-resonance in Hz: a frontal susceptibility bump and a weak left-right gradient."""
    p = voxel_centres(affine, dims)
    x, y = p[:, 0], p[:, 1]
    return (60.0 * np.exp(-(x**2 + (y - 30.0) ** 2) / (2 * 10.0**2)) + 0.3 * x).astype(np.float32)


# ---- helpers ----


class ProgressBar:
    """A plain-text bar; the simulation calls it from its worker threads, one call per volume."""

    def __init__(self, label):
        self.label, self.shown, self.start = label, 0, time.perf_counter()

    def __call__(self, done, total):
        self.shown = max(self.shown, done)  # calls may arrive out of order
        fill = int(30 * self.shown / total)
        sys.stderr.write(f"\r{self.label} [{'#' * fill}{'.' * (30 - fill)}] {self.shown}/{total} volumes "
                         f"{time.perf_counter() - self.start:5.1f} s")
        if self.shown == total:
            sys.stderr.write("\n")
        sys.stderr.flush()


def block_mean(flat, dims, o):
    """Averages o x o in-plane blocks of a flat volume on the simulation grid."""
    nx, ny, nz = dims
    a = flat.reshape(nz, ny, nx)
    return a.reshape(nz, ny // o, o, nx // o, o).mean(axis=(2, 4)).astype(np.float32).ravel()


def as_nifti_array(flat, reorient, nvol):
    """A flat (volume-fastest) image reoriented to LAS, as an x, y, z[, t] array for nibabel."""
    ox, oy, oz = reorient["out_dims"]
    data = core.apply_reorient(np.ascontiguousarray(flat, dtype=np.float32), nvol, reorient)
    data = data.reshape(oz, oy, ox, nvol).transpose(2, 1, 0, 3)
    return data[..., 0] if nvol == 1 else data


def save_nifti(path, data, affine, dtype=np.float32):
    """NIfTI-1 (float32 unless `dtype` says otherwise) with millimetre and second units."""
    import nibabel as nib

    img = nib.Nifti1Image(np.asarray(data, dtype=dtype), affine)
    img.header.set_xyzt_units("mm", "sec")
    nib.save(img, path)


def bids_sidecar(acq, reorient, ny):
    """The BIDS fields of the acquisition record; `acq` holds at least the acquisition_hbcd keys."""
    full = core.acquisition_defaults(acq)
    # The readout walks the phase-encode lines from the top (high y) down unless reverse_phase,
    # so in the input frame k-space is traversed along -y.
    pe_sign = 1 if full["reverse_phase"] else -1
    t_line_s = full["t_line"] / 1000.0
    return {
        "PhaseEncodingDirection": core.out_ped(reorient, 1, pe_sign),
        "EchoTime": full["t_echo"] / 1000.0,
        "EffectiveEchoSpacing": round(t_line_s, 9),
        "TotalReadoutTime": round(t_line_s * (ny - 1), 9),
        "PartialFourier": full["partial_fourier"],
        "ParallelReductionFactorInPlane": full["accel"],
        "ReceiveCoilCount": full["n_coils"],
        "MagneticFieldStrength": 3,
        "SoftwareVersions": f"quorvel {core.core_version()}",
    }


def write_figure(path, mag, fmap, bvals, bvecs):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    dw = np.flatnonzero(bvals > 0)
    x_like = dw[np.argmax(np.abs(bvecs[dw, 0]))]
    y_like = dw[np.argmax(np.abs(bvecs[dw, 1]))]
    slices = [1, mag.shape[2] // 2, mag.shape[2] - 2]
    columns = [("b = 0", mag[..., 0], "gray"), (f"b = 1000, volume {x_like} (~x)", mag[..., x_like], "gray"),
               (f"b = 1000, volume {y_like} (~y)", mag[..., y_like], "gray"), ("field map (Hz)", fmap, "RdBu_r")]
    fig, axes = plt.subplots(len(slices), len(columns), figsize=(3 * len(columns), 3 * len(slices)))
    for row, z in enumerate(slices):
        for col, (title, vol, cmap) in enumerate(columns):
            ax = axes[row, col]
            # LAS storage: axis 0 runs right -> left, so the image reads in radiological view.
            im = ax.imshow(vol[:, :, z].T, origin="lower", cmap=cmap)
            ax.set_xticks([])
            ax.set_yticks([])
            if row == 0:
                ax.set_title(title, fontsize=9)
            if col == 0:
                ax.set_ylabel(f"slice {z}")
            if col == len(columns) - 1:
                fig.colorbar(im, ax=ax, fraction=0.046)
    fig.suptitle("quorvel phantom: simulated EPI magnitude (LAS, radiological view)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# ---- the road ----


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--out", default="out/phantom", help="output folder (default: out/phantom)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the phantom and of the acquisition noise")
    args = ap.parse_args()

    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(args.seed)
    t_start = time.perf_counter()

    dims = ACQ_DIMS
    affine = np.diag([VOXEL_MM, VOXEL_MM, VOXEL_MM, 1.0])
    affine[:3, 3] = -(np.array(dims) - 1) / 2 * VOXEL_MM  # centred on the world origin
    sim_affine_flat, sim_dims = core.hires_grid(affine, dims, OVERSAMPLING)
    sim_affine = sim_affine_flat.reshape(4, 4)

    # 1. Orientation mixture on the simulation grid from the streamlines and tissue maps.
    wm, gm, csf, mask = tissue_maps(sim_affine, sim_dims)
    positions, offsets = bundles(rng, dims[2] * VOXEL_MM)
    # The simulated b of volume k is params["b_value"] * bvals[k] / max(bvals): the presets say
    # 1000, so set it to the largest b of the table, or every shell is scaled down.
    bvals, bvecs = gradient_table()
    params = core.tissue_preset("adult") | {"b_value": float(bvals.max())}
    mix = core.build_mixture(sim_dims, wm, gm, csf, mask, sim_affine, positions, offsets, None, params)
    print(f"mixture: {len(offsets) - 1} streamlines on a {sim_dims} simulation grid")

    # 2. Clean per-compartment signal (fibre, grey matter, CSF).
    comp = core.signal_from_mixture(mix, bvals, bvecs)

    # 3. EPI acquisition: HBCD timing, four coils, GRAPPA R = 2, ghost, k-space noise, field map.
    acq = dict(core.acquisition_hbcd(dims[1]), n_coils=4, accel=2, acs_lines=12, noise_variance=2.0)
    fmap = field_map(sim_affine, sim_dims)
    result = core.simulate_acquisition(comp, fmap, dims, bvals, bvecs, acq, phase_model="hbcd", seed=args.seed,
                                       progress=ProgressBar("acquiring"))

    # 4. Reorient to LAS (FSL / dcm2niix storage) and write.
    nvol = len(bvals)
    reorient = core.reorient_to_las(affine, dims)
    las_affine = core.reorient_affine(affine, reorient).reshape(4, 4)
    mag = as_nifti_array(result["mag"], reorient, nvol)
    phase = as_nifti_array(result["phase"], reorient, nvol)
    fmap_acq = as_nifti_array(block_mean(fmap, sim_dims, OVERSAMPLING), reorient, 1)

    def save(name, data):
        save_nifti(out / name, data, las_affine)

    save("dwi.nii.gz", mag)
    save("dwi_phase.nii.gz", phase)
    save("fieldmap_hz.nii.gz", fmap_acq)
    for name, fr in (("wm", wm), ("gm", gm), ("csf", csf)):
        save(f"{name}.nii.gz", as_nifti_array(block_mean(fr, sim_dims, OVERSAMPLING), reorient, 1))

    np.savetxt(out / "dwi.bval", bvals[None, :], fmt="%g")
    fsl = core.fsl_bvecs(bvecs, las_affine).reshape(-1, 3)
    np.savetxt(out / "dwi.bvec", fsl.T, fmt="%.6f")

    (out / "dwi.json").write_text(json.dumps(bids_sidecar(acq, reorient, dims[1]), indent=2) + "\n")

    write_figure(out / "phantom.png", mag, fmap_acq, bvals, bvecs)

    print(f"done in {time.perf_counter() - t_start:.1f} s; outputs in {out.resolve()}:")
    for p in sorted(out.iterdir()):
        print(f"  {p.name}")


if __name__ == "__main__":
    main()
