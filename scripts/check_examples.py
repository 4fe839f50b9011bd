"""Runs every example at a small size into a temporary folder and checks what it writes.

Usage: python3 scripts/check_examples.py [work folder]   (default: a temporary folder)
Needs quorvel importable with the example extras (nibabel, matplotlib, dask[distributed]);
scripts/examples.sh installs them. Prints one line per check and "N passed, N failed".
"""

import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import nibabel as nib
import numpy as np

ROOT = Path(__file__).resolve().parent.parent
passed, failed = 0, 0


def check(what, ok, detail=""):
    global passed, failed
    passed, failed = passed + bool(ok), failed + (not ok)
    print(f"  {'ok  ' if ok else 'FAIL'} {what}{'' if ok else ': ' + str(detail)}")


def run(name, *args):
    """Runs one example; True when it exits 0."""
    t0 = time.perf_counter()
    proc = subprocess.run([sys.executable, str(ROOT / "examples" / name), *map(str, args)],
                          capture_output=True, text=True)
    print(f"{name} {' '.join(map(str, args))}  ({time.perf_counter() - t0:.1f} s)")
    check("exits with status 0", proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-4000:])
    return proc.returncode == 0


def check_dwi(folder, shells, n_vol=None):
    """dwi.nii.gz, .bval and .bvec: shapes agree, values finite, bvecs unit (zero at b = 0)."""
    img = nib.load(folder / "dwi.nii.gz")
    data = np.asarray(img.dataobj)
    bvals = np.atleast_1d(np.loadtxt(folder / "dwi.bval"))
    bvecs = np.atleast_2d(np.loadtxt(folder / "dwi.bvec"))
    check("dwi.nii.gz is 4-D", data.ndim == 4, data.shape)
    check("one b-value per volume", data.shape[-1] == len(bvals), (data.shape, len(bvals)))
    check("bvec is 3 rows, one column per volume", bvecs.shape == (3, len(bvals)), bvecs.shape)
    if n_vol is not None:
        check(f"{n_vol} volumes", len(bvals) == n_vol, len(bvals))
    check(f"shells {shells}", sorted(set(bvals.tolist())) == sorted(shells), sorted(set(bvals.tolist())))
    norms = np.linalg.norm(bvecs, axis=0)
    check("bvecs unit for b > 0 and zero for b = 0",
          np.allclose(norms[bvals > 0], 1, atol=1e-5) and np.allclose(norms[bvals == 0], 0), norms)
    check("magnitudes finite and non-negative", np.isfinite(data).all() and (data >= 0).all())
    brain = data[..., 0] > 0.2 * data[..., 0].max()
    check("b = 0 brighter than diffusion weighting in the brain",
          brain.any() and data[brain][:, bvals == 0].mean() > data[brain][:, bvals > 0].mean())
    check("affine is LAS", tuple(nib.aff2axcodes(img.affine)) == ("L", "A", "S"), nib.aff2axcodes(img.affine))
    return img


def check_maps(folder, names, shape):
    for name in names:
        path = folder / f"{name}.nii.gz"
        if not path.exists():
            check(f"{path.name} exists", False)
            continue
        data = np.asarray(nib.load(path).dataobj)
        if data.shape[:3] != shape or not np.isfinite(data).all():
            check(f"{path.name} on the acquired grid and finite", False, data.shape)
            return
    check(f"{len(names)} maps on the acquired grid {shape}, finite", True)


def phantom(work):
    out = work / "phantom"
    if not run("phantom.py", "--out", out):
        return
    img = check_dwi(out, [0.0, 1000.0], n_vol=17)
    check_maps(out, ["dwi_phase", "fieldmap_hz", "wm", "gm", "csf"], img.shape[:3])
    png = (out / "phantom.png").read_bytes()
    check("phantom.png is a PNG under 300 kB", png[:8] == b"\x89PNG\r\n\x1a\n" and len(png) < 300_000, len(png))
    sidecar = json.loads((out / "dwi.json").read_text())
    check("sidecar has the BIDS fields", {"PhaseEncodingDirection", "EchoTime", "TotalReadoutTime"} <= set(sidecar))


def from_tractogram(work):
    import quorvel._core as core

    out = work / "tractogram"
    if not run("from_tractogram.py", "--small", "--out", out):
        return
    tck = nib.streamlines.load(str(out / "crossing.tck"))
    check("crossing.tck holds the two bundles", len(tck.streamlines) == 300, len(tck.streamlines))
    img = check_dwi(out, [0.0, 1000.0, 2000.0])
    names = core.scalar_names()
    check_maps(out / "truth", names + ["peaks"], img.shape[:3])
    truth = {n: np.asarray(nib.load(out / "truth" / f"{n}.nii.gz").dataobj) for n in ("fa", "md", "icvf")}
    wm = truth["icvf"] > 0
    check("true FA in [0, 1], high in the bundles", 0 <= truth["fa"].min() and truth["fa"].max() <= 1
          and truth["fa"][wm].max() > 0.5, (truth["fa"].min(), truth["fa"].max()))
    check("true MD in mm^2/s", 1e-4 < truth["md"][wm].mean() < 3e-3, truth["md"][wm].mean())
    peaks = np.asarray(nib.load(out / "truth" / "peaks.nii.gz").dataobj)
    lengths = np.linalg.norm(peaks.reshape(*peaks.shape[:3], -1, 3), axis=-1)
    check("peaks: 9 values per voxel, fractions summing to at most 1",
          peaks.shape[3] == 9 and lengths.sum(axis=-1).max() <= 1 + 1e-5, peaks.shape)
    # The same tractogram as .trk goes the same road.
    trk = out / "crossing.trk"
    header = {nib.streamlines.Field.VOXEL_TO_RASMM: np.eye(4), nib.streamlines.Field.VOXEL_SIZES: (1.0, 1.0, 1.0),
              nib.streamlines.Field.DIMENSIONS: (100, 100, 100), nib.streamlines.Field.VOXEL_ORDER: "RAS"}
    nib.streamlines.save(tck.tractogram, str(trk), header=header)
    out_trk = work / "tractogram_trk"
    if run("from_tractogram.py", trk, "--small", "--out", out_trk):
        same = np.asarray(nib.load(out_trk / "dwi.nii.gz").dataobj).shape == img.shape
        check("a .trk input gives the same image shape", same)


def optional_stages(work):
    out = work / "optional_stages"
    if not run("optional_stages.py", "--small", "--out", out):
        return  # the example exits non-zero when one of its physical checks fails
    img = check_dwi(out, [0.0, 1000.0])
    graddev = np.asarray(nib.load(out / "graddev.nii.gz").dataobj)
    check("graddev.nii.gz: 9 volumes on the acquired grid", graddev.shape == img.shape[:3] + (9,), graddev.shape)
    tensor = graddev.reshape(-1, 3, 3)
    check("graddev holds the full tensor: diagonal near 1, off-diagonal near 0",
          np.abs(np.diagonal(tensor, axis1=1, axis2=2) - 1).max() < 0.2 and
          np.abs(tensor - np.eye(3) * np.diagonal(tensor, axis1=1, axis2=2)[:, None, :]).max() < 0.2)
    phase = nib.load(out / "fmap" / "phasediff.nii.gz")
    codes = np.asarray(phase.dataobj)
    check("phasediff: int16 codes 0..4095 on the acquired grid", phase.get_data_dtype() == np.int16 and
          codes.shape == img.shape[:3] and codes.min() >= 0 and codes.max() <= 4095, (codes.dtype, codes.shape))
    check_maps(out / "fmap", ["magnitude1", "magnitude2"], img.shape[:3])
    fmap_json = json.loads((out / "fmap" / "phasediff.json").read_text())
    dwi_json = json.loads((out / "dwi.json").read_text())
    check("phasediff.json: EchoTime1 < EchoTime2, in seconds",
          0 < fmap_json["EchoTime1"] < fmap_json["EchoTime2"] < 0.1, fmap_json)
    check("dwi.json names the field map it is corrected with",
          dwi_json.get("B0FieldSource") == fmap_json.get("B0FieldIdentifier"), (dwi_json, fmap_json))
    truth = json.loads((out / "motion_truth.json").read_text())
    shots = truth["dropped_shots"]
    check("motion truth: dropped shots with slices and attenuations in [0, 1]", shots and all(
        s["slices"] and 0 <= s["attenuation"] <= 1 for s in shots), shots)


def distributed(work):
    out = work / "distributed"
    if not run("distributed.py", "--small", "--out", out):
        return
    report = json.loads((out / "report.json").read_text())
    check("slabs reassembled bit for bit equal the single-process run", report.get("identical") is True, report)
    img = check_dwi(out, [0.0, 1000.0])
    check("image on the acquired grid", img.shape[:3] == tuple(report["acquired_dims"]), img.shape)


def main():
    work = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(tempfile.mkdtemp(prefix="quorvel-examples-"))
    for example in (phantom, from_tractogram, optional_stages, distributed):
        example(work)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
