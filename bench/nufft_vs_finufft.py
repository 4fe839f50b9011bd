"""Nufft1 against its FFT floor and against FINUFFT type 1 (a yardstick only), in one run.

Runs the C++ benchmark (built with -DQUORVEL_BENCH=ON), which times Nufft1::run and the plain
FFTs of length 2n it must do and dumps its data; then times FINUFFT type 1 on the same data at the
same tolerance, single-threaded, and checks that both agree with each other.

    python3 bench/nufft_vs_finufft.py [path/to/nufft_bench]
"""
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np


def best_time(f, min_rep_s=0.02, reps=9):
    for _ in range(5):
        f()
    n = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(n):
            f()
        if time.perf_counter() - t0 > min_rep_s:
            break
        n *= 2
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        for _ in range(n):
            f()
        best = min(best, (time.perf_counter() - t0) / n)
    return best


def load(path):
    raw = np.fromfile(path, dtype=np.float64)
    ns, nch, m, k0, tol = raw[:5]
    ns, nch, m, k0 = int(ns), int(nch), int(m), int(k0)
    pos = 5
    x = raw[pos:pos + ns]
    pos += ns
    a = raw[pos:pos + 2 * nch * ns].reshape(nch, 2, ns)
    pos += 2 * nch * ns
    out = raw[pos:pos + 2 * nch * m].reshape(nch, 2, m)
    return x, a[:, 0] + 1j * a[:, 1], out[:, 0] + 1j * out[:, 1], m, k0, tol


def compare(exe):
    """Runs the C++ benchmark and FINUFFT on its data: (its text, rows of n, ours_us, finufft_exec_us,
    finufft_full_us, max_rel_diff), rows empty when finufft is not installed."""
    with tempfile.TemporaryDirectory() as tmp:
        text = subprocess.run([str(exe), "--dump", tmp], capture_output=True, text=True, check=True).stdout
        ours = {int(line.split()[0]): float(line.split()[3]) for line in text.splitlines()[1:]}
        try:
            import finufft
        except ImportError:
            return text, []
        rows = []
        for n, ours_us in sorted(ours.items()):
            x, c, out, m, k0, tol = load(pathlib.Path(tmp) / f"nufft_{n}.bin")
            assert k0 == -(m // 2) and m % 2 == 0, "FINUFFT's default mode order is -m/2 .. m/2-1"
            xs = 2 * np.pi * x / n
            nch = c.shape[0]
            plan = finufft.Plan(1, (m,), n_trans=nch, eps=tol, isign=1, nthreads=1)
            plan.setpts(xs)
            ref = plan.execute(c)
            t_exec = best_time(lambda: plan.execute(c))

            def full():
                plan.setpts(xs)
                plan.execute(c)

            t_full = best_time(full)
            diff = np.max(np.abs(ref - out)) / np.max(np.abs(ref))
            rows.append((n, ours_us, t_exec * 1e6, t_full * 1e6, diff))
        return text, rows


def main():
    exe = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/bench/nufft_bench")
    text, rows = compare(exe)
    print(text.rstrip())
    if not rows:
        print("finufft is not installed: no comparison")
        return
    import finufft
    print(f"\nFINUFFT {finufft.__version__}, type 1, one thread, same data and tolerance")
    print(f"{'n':>6} {'finufft_exec_us':>16} {'finufft_full_us':>16} {'ours/exec':>10} {'ours/full':>10} "
          f"{'max rel diff':>13}")
    for n, ours_us, t_exec, t_full, diff in rows:
        print(f"{n:>6} {t_exec:>16.2f} {t_full:>16.2f} {ours_us / t_exec:>10.2f} {ours_us / t_full:>10.2f} "
              f"{diff:>13.2e}")


if __name__ == "__main__":
    main()
