"""Moving-subject signal: time one worker thread against the whole pool, each in a fresh process.

    PYTHONPATH=build/dev/pkg python3 bench/signal_moving.py
"""
import subprocess
import sys

RUN = """
import time, numpy as np, quorvel._core as core
core.set_threads({threads})
rng = np.random.default_rng(42)
dims = (64, 64, 40)
n = dims[0] * dims[1] * dims[2]
maps = [rng.uniform(0, 1, n).astype(np.float32) for _ in range(3)] + [np.ones(n, np.float32)]
lengths = rng.integers(20, 80, 3000)
offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.uint32)
steps = rng.normal(size=(int(offsets[-1]), 3)) * 0.5
positions = np.cumsum(steps, axis=0) % [128.0, 128.0, 80.0] - [64.0, 64.0, 40.0]
affine = np.diag([2.0, 2.0, 2.0, 1.0]); affine[:3, 3] = [-63.0, -63.0, -39.0]
ngrad = 32
bvals = np.where(np.arange(ngrad) % 8 == 0, 0.0, 1000.0)
bvecs = rng.normal(size=(ngrad, 3))
poses = np.column_stack([rng.uniform(-2, 2, (ngrad, 3)), rng.uniform(-3, 3, (ngrad, 3))])
t = time.perf_counter()
core.signal_moving(dims, *maps, affine, positions, offsets, bvals, bvecs, {{}}, poses)
print(time.perf_counter() - t, core.current_threads())
"""


def timed(threads):
    out = subprocess.run([sys.executable, "-c", RUN.format(threads=threads)], capture_output=True, text=True,
                         check=True).stdout.split()
    return float(out[0]), int(out[1])


one, _ = timed(1)
many, n = timed(0)
print(f"signal_moving 64x64x40, 32 volumes: 1 thread {one:.2f} s, {n} threads {many:.2f} s, speed-up {one / many:.1f}x")
