"""Throughput of GnlField.on_grid (21 evaluations of the coefficient set per voxel).

    PYTHONPATH=build/dev/pkg python3 bench/bench_gnl.py
"""
import time

import numpy as np

import quorvel._core as core

DIMS = (192, 192, 60)
REPEATS = 3


def main():
    affine = np.diag([1.2, 1.2, 2.4, 1.0])
    affine[:3, 3] = [-0.5 * (n - 1) * s for n, s in zip(DIMS, (1.2, 1.2, 2.4))]  # grid centred on the isocentre
    nvox = DIMS[0] * DIMS[1] * DIMS[2]
    for spec in ("whole-body-80", "connectom-300"):
        coef = core.GradCoef.from_spec(spec)
        best = float("inf")
        for _ in range(REPEATS):
            t0 = time.perf_counter()
            field = core.GnlField.on_grid(coef, DIMS, affine)
            best = min(best, time.perf_counter() - t0)
        env = field.envelope(affine, 100.0)
        print(
            f"on_grid {spec:14s} {DIMS}: {best:6.2f} s, {nvox / best / 1e6:6.3f} Mvoxel/s, "
            f"{21 * nvox / best / 1e6:6.1f} M set evaluations/s  (max disp within 100 mm: {env['max_disp_mm']:.2f} mm)"
        )


if __name__ == "__main__":
    main()
