"""Throughput of simulate_acquisition on a realistic protocol.

Prints, from one invocation:
  * volumes per second on all worker threads;
  * the parallel speed-up over one thread (each measured in its own process, since the worker
    pool is sized once per process);
  * the ratio of the one-thread run time to the time of the FFT and NUFFT work that run contains,
    the latter timed by the C++ kernel benchmark bench_kspace_kernels (built here on first use,
    with -DQUORVEL_BENCH=ON) on the same protocol. A ratio near 1 means the run is dominated by
    the transforms; the rest is the direct sums, GRAPPA, phase maps and data movement.

Usage: python3 bench/bench_acquire.py [--volumes 20] [--slices 60] [--nx 96] [--oversampling 2] ...
"""

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

RUN = r"""
import json, sys, time
import numpy as np
import quorvel._core as core

p = json.loads(sys.argv[1])
core.set_threads(p["threads"])
rng = np.random.default_rng(42)
o, nx, ny, nz, v = p["o"], p["nx"], p["ny"], p["nz"], p["volumes"]
snx, sny = nx * o, ny * o
shape = (nz, sny, snx, v)
# Fibre, grey-matter and CSF images with their usual T2s.
images = [rng.random(shape, dtype=np.float32).ravel() * w for w in (0.6, 0.3, 0.1)]
comp = core.Compartments.from_images((snx, sny, nz), v, images, [80.0, 110.0, 1500.0])
del images
y, x = np.mgrid[0:sny, 0:snx]
slab = 40.0 * np.sin(2 * np.pi * x / snx) * np.cos(2 * np.pi * y / sny)
fmap = np.broadcast_to(slab, (nz, sny, snx)).astype(np.float32).ravel()
bvals = np.where(np.arange(v) < 2, 0.0, 1000.0)
bvecs = rng.standard_normal((v, 3))
bvecs /= np.linalg.norm(bvecs, axis=1, keepdims=True)
acq = dict(core.acquisition_hbcd(ny), n_coils=p["coils"], accel=p["accel"], noise_variance=1.0)
t, cpu = time.perf_counter(), time.process_time()
core.simulate_acquisition(comp, fmap, (nx, ny, nz), bvals, bvecs, acq, seed=1)
print(json.dumps({"seconds": time.perf_counter() - t, "cpu": time.process_time() - cpu,
                  "threads": core.current_threads(),
                  "partial_fourier": acq["partial_fourier"], "acs_lines": acq["acs_lines"]}))
"""


def run_acquisition(params, threads):
    env = {k: val for k, val in os.environ.items() if not k.startswith("RAYON_")}
    out = subprocess.run([sys.executable, "-c", RUN, json.dumps({**params, "threads": threads})],
                         capture_output=True, text=True, env=env, check=True)
    return json.loads(out.stdout)


def bench_dir(isa=None):
    """build/bench, or build/bench-<isa> for the build for one instruction set (CMake's QUORVEL_ISA)."""
    return ROOT / "build" / ("bench" if isa is None else f"bench-{isa}")


def build_target(target, isa=None):
    """Builds (or brings up to date) a target of the project in bench_dir(isa); returns that folder."""
    build = bench_dir(isa)
    options = ["-DQUORVEL_PYTHON=OFF"] if isa is None else [f"-DQUORVEL_ISA={isa}"]
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DQUORVEL_BENCH=ON", *options],
                   check=True, capture_output=True)
    subprocess.run(["cmake", "--build", str(build), "--target", target], check=True, capture_output=True)
    return build


def kernel_binary(target="bench_kspace_kernels", isa=None):
    """A C++ benchmark of bench/, built on first use (see build_target)."""
    exe = bench_dir(isa) / target
    return exe if exe.exists() else build_target(target, isa) / target


def isa_package(isa):
    """The package folder of the extension module built for one instruction set, for PYTHONPATH."""
    return build_target("_core", isa) / "pkg"


def transform_seconds(params, acs_lines, partial_fourier, isa=None):
    """Time of the FFT and NUFFT work of a one-thread run of `params`, or None if unavailable."""
    try:
        exe = kernel_binary(isa=isa)
    except (OSError, subprocess.CalledProcessError):
        return None
    out = subprocess.run([str(exe), str(params["nx"]), str(params["ny"]), str(params["o"]), str(params["nz"]), "3",
                          str(params["coils"]), str(params["accel"]), str(acs_lines), str(partial_fourier)],
                         capture_output=True, text=True, check=True)
    return float(out.stdout) * params["volumes"]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--nx", type=int, default=96)
    ap.add_argument("--ny", type=int, default=96)
    ap.add_argument("--oversampling", type=int, default=2)
    ap.add_argument("--slices", type=int, default=60)
    ap.add_argument("--volumes", type=int, default=20)
    ap.add_argument("--coils", type=int, default=4)
    ap.add_argument("--accel", type=int, default=2)
    ap.add_argument("--threads", type=int, default=0, help="worker threads of the parallel run (0: all)")
    args = ap.parse_args()
    params = dict(nx=args.nx, ny=args.ny, o=args.oversampling, nz=args.slices, volumes=args.volumes,
                  coils=args.coils, accel=args.accel)

    par = run_acquisition(params, args.threads)
    ser = run_acquisition(params, 1)
    print(f"protocol: acquired {args.nx}x{args.ny}x{args.slices}, oversampling {args.oversampling} "
          f"(simulation {args.nx * args.oversampling}x{args.ny * args.oversampling}), {args.volumes} volumes, "
          f"3 compartments, {args.coils} coils, R = {args.accel}, partial Fourier {par['partial_fourier']}")
    print(f"{par['threads']} threads: {par['seconds']:.2f} s, {args.volumes / par['seconds']:.2f} volumes/s "
          f"(CPU time / wall time {par['cpu'] / par['seconds']:.2f}; lower than the thread count when the "
          f"machine is shared or the {args.volumes} volume tasks do not divide evenly)")
    print(f"1 thread:  {ser['seconds']:.2f} s, {args.volumes / ser['seconds']:.3f} volumes/s")
    print(f"parallel speed-up: {ser['seconds'] / par['seconds']:.2f}x on {par['threads']} threads")

    transforms = transform_seconds(params, ser["acs_lines"], ser["partial_fourier"])
    if transforms is None:
        print("FFT/NUFFT share: kernel benchmark unavailable")
        return
    print(f"FFT + NUFFT work of the run on 1 thread: {transforms:.2f} s ({transforms / args.volumes:.3f} s per volume)")
    print(f"run time / transform time (1 thread): {ser['seconds'] / transforms:.2f}")


if __name__ == "__main__":
    main()
