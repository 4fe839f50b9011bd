"""Builds for one instruction set (CMake's QUORVEL_ISA) against the installed default build.

Every vectorised loop promises the same bits at every register width and on any thread count.
These tests hold each single-instruction-set module to that: it must contain no wider
instruction than its set and no fused multiply-add, and it must reproduce the default build bit
for bit on a reference run that crosses every hot loop (both builders with and without kappa,
the ground truth, the signal's dense, sparse, myelin and non-linearity paths, the warps, motion,
the GRE field map and an acquisition).

The modules to check are named by QUORVEL_ISA_BUILDS, entries "isa=package_dir" separated by
spaces (scripts/isa_builds.sh builds them and sets it); without it the tests are skipped.
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quorvel._core as core
from conftest import run_process

BUILDS = dict(entry.split("=", 1) for entry in os.environ.get("QUORVEL_ISA_BUILDS", "").split())
pytestmark = pytest.mark.skipif(not BUILDS, reason="QUORVEL_ISA_BUILDS names no single-ISA build")

# Registers wider than each set holds, and the fused multiply-add family, in AT&T disassembly.
WIDER = {"x86-64": r"%[yz]mm", "x86-64-v3": r"%zmm", "x86-64-v4": None}
FMA = r"\bv?fn?m(add|sub)(sub|add)?[0-9]*[ps][sd]\b"

# Writes every result of the reference run to the .npz named by argv[1].
REFERENCE = r"""
import sys
import numpy as np
import quorvel._core as core

rng = np.random.default_rng(2024)
out = {}
dims = (16, 14, 5)
nvox = int(np.prod(dims))
affine = np.diag([1.5, 1.5, 2.0, 1.0])
affine[:3, 3] = [-12.0, -10.5, -5.0]
x, y, z = np.meshgrid(*(np.linspace(-1, 1, n) for n in dims), indexing="ij")
r = np.sqrt(x**2 + y**2 + z**2).ravel(order="F")
wm = np.clip(1.3 - r, 0, 1).astype(np.float32)
gm = np.clip(1 - abs(r - 0.9) * 3, 0, 1).astype(np.float32)
csf = np.clip(r - 0.9, 0, 1).astype(np.float32)
mask = (r < 1.5).astype(np.float32)
myelin = np.clip(1 - r, 0, 1).astype(np.float32)

# Random walks crossing the grid, and an explicit fibre list with one to three directions a voxel.
walks = np.cumsum(rng.normal(0, 0.8, (150, 25, 3)), axis=1) + rng.uniform(-9, 9, (150, 1, 3)) * [1, 1, 0.4]
positions = walks.reshape(-1, 3)
offsets = np.arange(0, positions.shape[0] + 1, 25, dtype=np.uint32)
weights = rng.uniform(0.5, 1.5, 150).astype(np.float32)
voxel = np.concatenate([np.flatnonzero(wm > 0.05)[rng.random(int((wm > 0.05).sum())) < s] for s in (1, 0.6, 0.3)])
dirs = rng.normal(size=(voxel.size, 3))

# 37 volumes: no register width divides the count, so every loop runs its tail too.
bvals = np.concatenate([[0.0, 0.0], np.full(17, 1000.0), np.full(18, 2500.0)])
bvecs = rng.normal(size=(37, 3))
bvecs /= np.linalg.norm(bvecs, axis=1, keepdims=True)
params = core.tissue_preset("adult") | {"b_value": 2500.0}

mixtures = {}
for kappa in (None, 20.0, 150.0):
    tag = f"{kappa or 0:g}"
    mixtures[tag] = core.build_mixture(dims, wm, gm, csf, mask, affine, positions, offsets, weights, params,
                                       kappa=kappa)
    out[f"build_{tag}"] = mixtures[tag].odf()
    out[f"fibers_{tag}"] = core.mixture_from_fibers(dims, voxel.astype(np.uint32), dirs, np.ones(voxel.size), wm, gm,
                                                    csf, mask, params, kappa=kappa).odf()
for tag in ("0", "20"):
    for k, m in enumerate(mixtures[tag].scalars()):
        out[f"scalars_{tag}_{k}"] = m
    out[f"peaks_{tag}"] = mixtures[tag].truth_peaks(2, 3)
    for k, im in enumerate(core.signal_from_mixture(mixtures[tag], bvals, bvecs).images()):
        out[f"signal_{tag}_{k}"] = im
out["signal_myelin"] = core.signal_from_mixture(mixtures["20"].with_myelin(myelin), bvals, bvecs).mixed()

field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300").scaled(3.0), dims, affine)
comp = core.signal_from_mixture(mixtures["20"], bvals, bvecs, field)
out["signal_gnl"] = comp.mixed()
comp.warp_gnl(field, True)
out["warp_gnl"] = comp.mixed()
out["graddev"] = field.graddev(affine)

poses = core.resolve_poses("linear", 37, trans_mm=(0.0, 2.0, 1.0), rot_deg=(3.0, 0.0, 2.0)).reshape(-1, 6)
out["moving"] = core.signal_moving(dims, wm, gm, csf, mask, affine, positions, offsets, bvals, bvecs, params,
                                   poses).mixed()

acq_dims = (8, 7, 5)
acq_affine = affine.copy()
acq_affine[:2, :2] *= 2
fmap = (40 * np.exp(-((r - 0.5) ** 2) * 8)).astype(np.float32)
acq = core.acquisition_hbcd(7) | {"n_coils": 4, "accel": 2, "acs_lines": 4, "noise_variance": 0.5,
                                  "eddy_strength": 1e-5, "n_spikes": 1}
got = core.simulate_acquisition(comp, fmap, acq_dims, bvals, bvecs, acq, seed=5)
for key in ("re", "im", "mag", "phase"):
    out[f"acq_{key}"] = got[key]

fractions = mixtures["20"].fractions()
gre = core.gre_synthesize(dims, affine, acq_dims, acq_affine, *fractions, (1.0, 1.2, 1.4), (45.0, 50.0, 500.0), fmap,
                          100.0, 9, warp=field)
for key in ("magnitude1", "magnitude2"):
    out[f"gre_{key}"] = gre[key]
out["gre_phase"] = gre["phase"][0]

np.savez(sys.argv[1], **{k: np.ascontiguousarray(v) for k, v in out.items()})
print(core.current_threads())
"""


def reference_run(path, package_dir=None, threads=None):
    """The reference results of the module in package_dir (the installed one if None)."""
    env = {"PYTHONPATH": package_dir} if package_dir else {}
    code = (f"import quorvel._core as c\nassert c.set_threads({threads})\n" if threads else "") + REFERENCE
    out = run_process(code.replace("sys.argv[1]", repr(str(path))), env=env, timeout=600)
    assert out.returncode == 0, out.stderr
    return dict(np.load(path)), int(out.stdout.split()[-1])


@pytest.fixture(scope="module")
def default_results(tmp_path_factory):
    results, _ = reference_run(tmp_path_factory.mktemp("default") / "ref.npz", threads=3)
    return results


def module_file(package_dir):
    found = sorted(Path(package_dir, "quorvel").glob("_core*.so"))
    assert found, f"no extension module in {package_dir}/quorvel"
    return found[0]


@pytest.mark.skipif(shutil.which("objdump") is None, reason="objdump not installed")
@pytest.mark.parametrize("isa", ["clones", *BUILDS])
def test_no_wider_instruction_and_no_fused_multiply_add(isa):
    path = module_file(BUILDS[isa]) if isa in BUILDS else Path(core.__file__)
    text = subprocess.run(["objdump", "-d", "--no-show-raw-insn", str(path)], capture_output=True, text=True,
                          check=True).stdout
    code = [line for line in text.splitlines() if line.startswith(" ")]
    assert len(code) > 10_000, "the disassembly holds no code"
    assert not [line for line in code if re.search(FMA, line)]
    if WIDER.get(isa):
        assert not [line for line in code if re.search(WIDER[isa], line)]


@pytest.mark.parametrize("isa", list(BUILDS))
def test_same_bits_as_the_default_build(isa, default_results, tmp_path):
    # One thread against the default's three: the bits may depend on neither.
    results, threads = reference_run(tmp_path / "ref.npz", BUILDS[isa], threads=1)
    assert threads == 1
    assert results.keys() == default_results.keys()
    differ = [k for k in results if results[k].tobytes() != default_results[k].tobytes()]
    assert not differ, f"{isa} differs from the default build in {differ}"
    # The run must cross the paths it is meant to: rows filled enough for the fused signal loop
    # (kappa 20), rows of a few vertices a voxel (nearest vertex) and kernels of taps (kappa 150).
    filled = {k: (results[f"build_{k}"].reshape(-1, 321) != 0).sum(1) for k in ("0", "20", "150")}
    assert (filled["20"] > 160).any() and (filled["0"] <= 40).all() and (filled["0"] > 0).any()
    assert ((filled["150"] > 0) & (filled["150"] < 160)).any()
