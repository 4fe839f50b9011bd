"""Every stage of quorvel against the tool a user would otherwise run, measured side by side in
one run, printed as one table.

  build      build_mixture (nearest vertex, and Watson kappa = 20) vs MRtrix3 `tckmap -tod 8` on
             all cores, same streamlines (.tck) and template (NIfTI); with the peak resident-memory
             growth of the call over the size of the float32 odf it returns
  signal     signal_from_mixture (all three compartments) vs NumPy `(odf @ table) / odf.sum(1)`
             (the fibre compartment alone), sparse and Watson-dense mixtures
  scalars    Mixture.scalars on all threads vs one thread (bench_truth.py)
  acquire    simulate_acquisition vs the FFT + NUFFT work it contains, and its thread speed-up
             (bench_acquire.py)
  nufft      Nufft1 vs FINUFFT type 1, one thread, same tolerance (nufft_vs_finufft.py)

Every timing is the best of --repeat runs, each side in a fresh process, the two sides
alternating, so that load from other work on the machine hits both alike. Yardsticks are
benchmark-only: Debian `mrtrix3`, PyPI `nibabel` and `finufft`.

    PYTHONPATH=build/dev/pkg python3 bench/run_all.py [--small] [--repeat 3] [--isa x86-64-v3] [--stages build signal]

--isa measures the module and the C++ benchmarks built for one instruction set (CMake's
QUORVEL_ISA: x86-64, x86-64-v3, x86-64-v4, or clones for the default build), built on first use in
build/bench-<isa>: what a CPU of that level runs, reproduced on any x86-64 CPU that has it.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_acquire  # noqa: E402
import bench_mixture  # noqa: E402
import bench_signal  # noqa: E402
import bench_truth  # noqa: E402
import nufft_vs_finufft  # noqa: E402

THREADS = len(os.sched_getaffinity(0))
STAGES = ["build", "signal", "scalars", "acquire", "nufft"]
KAPPA = 20.0


def best_of(repeat, *sides):
    """Runs the sides alternately `repeat` times; the best result of each (by "seconds")."""
    best = [None] * len(sides)
    for _ in range(repeat):
        for i, side in enumerate(sides):
            r = side()
            if best[i] is None or r["seconds"] < best[i]["seconds"]:
                best[i] = r
    return best


# ---- stages ----

def stage_build(rows, n, repeat, tmp):
    import nibabel as nib

    positions, offsets = bench_mixture.synthetic_tractogram(np.random.default_rng(42), n)
    # The .tck format stores float32: both sides get exactly those points.
    positions = positions.astype(np.float32).astype(np.float64)
    affine = bench_mixture.grid_affine()
    data = tmp / "tractogram.npz"
    np.savez(data, positions=positions, offsets=offsets, affine=affine)
    lines = nib.streamlines.ArraySequence(np.split(positions.astype(np.float32), offsets[1:-1]))
    nib.streamlines.save(nib.streamlines.Tractogram(lines, affine_to_rasmm=np.eye(4)), str(tmp / "t.tck"))
    nib.save(nib.Nifti1Image(np.zeros(bench_mixture.DIMS, np.float32), affine), str(tmp / "template.nii"))
    tckmap = shutil.which("tckmap")

    def ours(kappa):
        return lambda: bench_mixture.build_in_fresh_process(data, kappa)

    def theirs():
        t = time.perf_counter()
        subprocess.run([tckmap, str(tmp / "t.tck"), str(tmp / "tod.mif"), "-template", str(tmp / "template.nii"),
                        "-tod", "8", "-nthreads", str(THREADS), "-force", "-quiet"], check=True)
        return {"seconds": time.perf_counter() - t}

    sides = [ours(0.0), ours(KAPPA)] + ([theirs] if tckmap else [])
    near, watson, *mrtrix = best_of(repeat, *sides)
    work = f"{n} streamlines x {bench_mixture.POINTS} pts, {'x'.join(map(str, bench_mixture.DIMS))} grid"
    yard = f"tckmap -tod 8, {THREADS} thr"
    for label, r in (("build nearest", near), (f"build kappa={KAPPA:g}", watson)):
        t_y = mrtrix[0]["seconds"] if mrtrix else None
        rows.append((label, work, r["seconds"], yard if mrtrix else "tckmap not installed", t_y,
                     f"peak growth {r['growth']:.2f} x odf, {r['threads']} thr"))


def stage_signal(rows, small, repeat):
    for r in bench_signal.run(small=small, repeats=repeat):
        rows.append((r["stage"].replace("signal_from_mixture", "signal"), r["workload"], r["quorvel_s"],
                     r["yardstick"] or "-", r["yardstick_s"], r["note"]))


def stage_scalars(rows, dims, repeat):
    for label, kappa in (("nearest", 0.0), ("watson kappa=16", 16.0)):
        one = bench_truth.run(1, dims, kappa, repeat)
        many = bench_truth.run(THREADS, dims, kappa, repeat)
        rows.append((f"scalars {label}", f"{'x'.join(map(str, dims))}, {one[1]} masked voxels", many[3],
                     "same, 1 thread", one[3], f"speed-up {one[3] / many[3]:.2f} on {many[0]} thr"))


def stage_acquire(rows, params, isa):
    par = bench_acquire.run_acquisition(params, 0)
    ser = bench_acquire.run_acquisition(params, 1)
    floor = bench_acquire.transform_seconds(params, ser["acs_lines"], ser["partial_fourier"], isa)
    work = f"{params['nx']}x{params['ny']}x{params['nz']} o{params['o']}, {params['volumes']} vols"
    rows.append(("acquire, 1 thread", work, ser["seconds"], "its FFT + NUFFT work", floor, ""))
    rows.append((f"acquire, {par['threads']} threads", work, par["seconds"], "same, 1 thread", ser["seconds"],
                 f"speed-up {ser['seconds'] / par['seconds']:.2f}"))


def stage_nufft(rows, isa):
    try:
        exe = bench_acquire.kernel_binary("nufft_bench", isa)
    except (OSError, subprocess.CalledProcessError):
        rows.append(("nufft", "", None, "C++ benchmark unavailable", None, ""))
        return
    _, compared = nufft_vs_finufft.compare(exe)
    for n, ours_us, exec_us, _, diff in compared:
        rows.append((f"nufft type 1, n={n}", "1 thread, same tolerance", ours_us * 1e-6, "FINUFFT execute",
                     exec_us * 1e-6, f"max rel diff {diff:.1e}"))
    if not compared:
        rows.append(("nufft", "", None, "finufft not installed", None, ""))


def cpu_line():
    """The CPU the figures come from: model, cores this process may use, widest vector set."""
    info = Path("/proc/cpuinfo").read_text() if Path("/proc/cpuinfo").exists() else ""
    model = next((l.split(":", 1)[1].strip() for l in info.splitlines() if l.startswith("model name")), "unknown CPU")
    flags = set(next((l.split(":", 1)[1].split() for l in info.splitlines() if l.startswith("flags")), []))
    widest = "AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else "no AVX2"
    return f"{model}, {THREADS} cores, {widest}"


def seconds(t):
    if t is None:
        return "-"
    return f"{t:.3f} s" if t >= 0.01 else f"{t * 1e6:.1f} us"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--small", action="store_true", help="small workloads, for a quick check")
    ap.add_argument("--repeat", type=int, default=3, help="runs per side; the best is reported")
    ap.add_argument("--isa", choices=["clones", "x86-64", "x86-64-v3", "x86-64-v4"],
                    help="measure the build for this instruction set (built on first use in build/bench-<isa>)")
    ap.add_argument("--stages", nargs="+", choices=STAGES, default=STAGES, help="the stages to run (default: all)")
    args = ap.parse_args()
    repeat = 1 if args.small else args.repeat
    if args.isa:
        # Every quorvel side runs in a child process, which takes the module from here.
        os.environ["PYTHONPATH"] = os.pathsep.join([str(bench_acquire.isa_package(args.isa)),
                                                    *filter(None, [os.environ.get("PYTHONPATH")])])
        print(f"quorvel built for {args.isa}: {os.environ['PYTHONPATH'].split(os.pathsep)[0]}")
    print(f"CPU: {cpu_line()}")
    rows = []
    if "build" in args.stages:
        with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as tmp:
            stage_build(rows, 10_000 if args.small else 100_000, repeat, Path(tmp))
    if "signal" in args.stages:
        stage_signal(rows, args.small, repeat)
    if "scalars" in args.stages:
        stage_scalars(rows, [48, 48, 30] if args.small else [96, 96, 60], repeat)
    if "acquire" in args.stages:
        stage_acquire(rows, dict(nx=96, ny=96, o=2, nz=12 if args.small else 60, volumes=4 if args.small else 20,
                                 coils=4, accel=2), args.isa)
    if "nufft" in args.stages:
        stage_nufft(rows, args.isa)

    head = ("stage", "workload", "quorvel", "yardstick", "its time", "quorvel/yardstick", "notes")
    table = [head] + [(s, w, seconds(a), y, seconds(b), f"{a / b:.2f}" if a and b else "-", note)
                      for s, w, a, y, b, note in rows]
    widths = [max(len(r[i]) for r in table) for i in range(len(head))]
    for k, r in enumerate(table):
        print("  ".join(c.ljust(wd) for c, wd in zip(r, widths)).rstrip())
        if k == 0:
            print("  ".join("-" * wd for wd in widths))


if __name__ == "__main__":
    main()
