"""Cost of the GRE field-map paths on a head-sized signal grid, relative to the box-mean path.

Run: PYTHONPATH=build/dev/pkg python3 bench/bench_gre.py
"""
import time

import numpy as np

import quorvel._core as core

DIMS = (220, 220, 70)
N = DIMS[0] * DIMS[1] * DIMS[2]


def run(args, repeats=3, **kw):
    best = float("inf")
    for _ in range(repeats):
        t = time.perf_counter()
        core.gre_synthesize(*args, **kw)
        best = min(best, time.perf_counter() - t)
    return best


def main():
    rng = np.random.default_rng(42)
    frac = rng.dirichlet([1.0, 1.0, 1.0], size=N).astype(np.float32)
    sig = np.diag([1.0, 1.0, 2.0, 1.0])
    acq = np.diag([2.0, 2.0, 2.0, 1.0])
    acq[:2, 3] = 0.5
    args = (DIMS, sig, (110, 110, 70), acq, np.ascontiguousarray(frac[:, 0]), np.ascontiguousarray(frac[:, 1]),
            np.ascontiguousarray(frac[:, 2]), (1.0, 1.0, 1.0), [45.0, 55.0, 300.0],
            rng.normal(0, 50, N).astype(np.float32), 1000.0, 1)
    box = run(args, ringing=False)
    print(f"signal grid {DIMS}, f = 2")
    print(f"box mean, phasediff        {box:8.3f} s   1.00x")
    for label, kw in [("spectral, phasediff", dict(ringing=True)),
                      ("spectral, phase", dict(ringing=True, output="phase")),
                      ("res_mm 2.5", dict(res_mm=2.5))]:
        t = run(args, **kw)
        print(f"{label:<26} {t:8.3f} s  {t / box:5.2f}x")


if __name__ == "__main__":
    main()
