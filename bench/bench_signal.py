"""signal_from_mixture beside the NumPy line a user would write instead for the fibre
compartment alone, `(odf @ table) / odf.sum(1, keepdims=True)` (float32, as the mixture stores
its orientation mass; table[j, k] the fibre kernel of vertex j for volume k), on a brain-sized
mixture without a myelin map: sparse (nearest vertex, about 2 vertices per fibre voxel) and
dense (Watson kappa = 20, about 280). quorvel computes all three compartments.

Both sides use every thread and run in their own worker processes, built once and timed
alternately (best of several), so a busy machine slows both alike. The NumPy worker runs without
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE, so OpenBLAS picks its own kernel for this CPU (printed
when threadpoolctl is installed). A gradient non-linearity row shows the per-voxel path.

    PYTHONPATH=build/dev/pkg python3 bench/bench_signal.py [--small]
"""
import json
import os
import subprocess
import sys
import time

import numpy as np

NGRAD = 100
CASES = ("sparse", "dense")


def dims_for(small):
    return (48, 48, 30) if small else (96, 96, 60)


def scheme():
    bvals = np.concatenate([np.zeros(10), np.full(45, 1000.0), np.full(45, 2500.0)])
    bvecs = np.random.default_rng(1).normal(size=(NGRAD, 3))
    return bvals, bvecs / np.linalg.norm(bvecs, axis=1, keepdims=True)


def build_mixture(core, dims, case):
    """An ellipsoidal head (white matter inside, grey matter in a shell, CSF around it) whose
    white-matter voxels hold one to three fibre populations of random direction."""
    rng = np.random.default_rng(42)
    nx, ny, nz = dims
    k, j, i = np.meshgrid(np.arange(nz), np.arange(ny), np.arange(nx), indexing="ij")
    r = np.sqrt(((i - nx / 2) / (0.42 * nx)) ** 2 + ((j - ny / 2) / (0.45 * ny)) ** 2
                + ((k - nz / 2) / (0.45 * nz)) ** 2).ravel()
    wm = np.clip(1.2 - r, 0, 1).astype(np.float32)
    gm = np.clip(1 - np.abs(r - 0.85) * 5, 0, 1).astype(np.float32)
    csf = np.clip(1 - np.abs(r - 1.0) * 8, 0, 1).astype(np.float32)
    mask = (r < 1.08).astype(np.float32)
    wm_vox = np.flatnonzero((wm > 0.05) & (mask > 0))
    voxel, dirs, weight = [], [], []
    for share in (1.0, 0.6, 0.25):
        vox = wm_vox[rng.random(wm_vox.size) < share]
        voxel.append(vox)
        dirs.append(rng.normal(size=(vox.size, 3)))
        weight.append(rng.random(vox.size) + 0.5)
    kappa = 20.0 if case == "dense" else None
    return core.mixture_from_fibers(dims, np.concatenate(voxel).astype(np.uint32), np.concatenate(dirs),
                                    np.concatenate(weight), wm, gm, csf, mask, {}, kappa=kappa)


def fibre_table(core, mix, bvals, bvecs):
    """table[j, k] = fibre kernel of vertex j for volume k (float64), from the one-voxel model."""
    verts = mix.sphere_vertices().reshape(-1, 3)
    one = np.ones(1)
    return np.stack([core.voxel_signal(bvals, bvecs, v[None], one, 1.0, 0.0, 0.0, {})[0] for v in verts])


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def worker(side, small):
    import quorvel._core as core

    dims = dims_for(small)
    bvals, bvecs = scheme()
    info, run = {}, {}
    for case in CASES:
        mix = build_mixture(core, dims, case)
        odf = mix.odf().reshape(-1, mix.nvert)
        nnz = (odf != 0).sum(1)
        info[case] = float(nnz[nnz > 0].mean())
        if side == "quorvel":
            run[case] = (lambda m: lambda: core.signal_from_mixture(m, bvals, bvecs))(mix)
            if case == "sparse":
                affine = np.diag([2.0, 2.0, 2.0, 1.0])
                affine[:3, 3] = [-(n - 1) for n in dims]
                field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), dims, affine)
                run["field"] = (lambda m: lambda: core.signal_from_mixture(m, bvals, bvecs, field))(mix)
        else:
            table = fibre_table(core, mix, bvals, bvecs)
            # The same quantity as quorvel's fibre image divided by the voxel's wm fraction.
            wm = mix.fractions()[0]
            fib = core.signal_from_mixture(mix, bvals, bvecs).images()[0].reshape(-1, NGRAD)
            sel = nnz > 0
            ref = fib[sel] / wm[sel, None]
            table32 = table.astype(np.float32)
            got = (odf[sel] @ table32) / odf[sel].sum(1, keepdims=True)
            info[case + "_max_rel_diff"] = float(np.max(np.abs(got - ref) / np.abs(ref)))
            del fib, ref, got
            run[case] = (lambda o, t: lambda: (o @ t) / o.sum(1, keepdims=True))(odf, table32)
            run[case + "64"] = (lambda o, t: lambda: (o @ t) / o.sum(1, keepdims=True))(odf, table)
        del mix
    if side == "quorvel":
        info["threads"] = core.current_threads()
    else:
        try:
            from threadpoolctl import threadpool_info

            info["blas"] = [f"{p.get('internal_api')} {p.get('version')} {p.get('architecture')}, "
                            f"{p.get('num_threads')} threads" for p in threadpool_info() if p.get("user_api") == "blas"]
        except ImportError:
            info["blas"] = ["threadpoolctl not installed"]
    print(json.dumps(info), flush=True)
    np.seterr(all="ignore")  # voxels without orientation mass give 0/0 on the NumPy side
    for line in sys.stdin:
        seconds, result = timed(run[line.strip()])
        del result
        print(json.dumps(seconds), flush=True)


class Worker:
    def __init__(self, side, small, env):
        args = [sys.executable, __file__, "--worker", side] + (["--small"] if small else [])
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
        self.info = json.loads(self._line())

    def _line(self):
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError(f"benchmark worker {self.proc.args[3]} stopped (exit {self.proc.wait()})")
        return line

    def time(self, what):
        # Let the other side's worker threads (OpenBLAS and TBB both spin a while after a call)
        # go idle first, so neither side runs against the other's leftovers.
        time.sleep(0.2)
        self.proc.stdin.write(what + "\n")
        self.proc.stdin.flush()
        return json.loads(self._line())

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def run(small=False, repeats=None):
    """Times both sides alternately; returns one row per workload (dicts with stage, workload,
    quorvel_s, yardstick, yardstick_s, speedup = yardstick_s / quorvel_s, or None without a
    yardstick)."""
    repeats = repeats or (3 if small else 5)
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    quorvel = Worker("quorvel", small, env)
    numpy_env = {k: v for k, v in env.items() if k not in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")}
    numpy_side = Worker("numpy", small, numpy_env)
    best = {}
    try:
        for _ in range(repeats):
            for what, side in [("sparse", quorvel), ("sparse", numpy_side), ("dense", quorvel), ("dense", numpy_side),
                               ("sparse64", numpy_side), ("dense64", numpy_side), ("field", quorvel)]:
                key = (side is quorvel, what)
                best[key] = min(best.get(key, float("inf")), side.time(what))
    finally:
        quorvel.close()
        numpy_side.close()

    dims = dims_for(small)
    blas = "; ".join(numpy_side.info["blas"])
    rows = []
    for case in CASES:
        q, n = best[(True, case)], best[(False, case)]
        rows.append({
            "stage": "signal_from_mixture",
            "workload": f"{case}: {dims} x {NGRAD} volumes, {quorvel.info[case]:.1f} vertices per fibre voxel, "
                        f"{quorvel.info['threads']} threads",
            "quorvel_s": q,
            "yardstick": "NumPy (odf @ table) / odf.sum(1), float32, fibre only",
            "yardstick_s": n,
            "speedup": n / q,
            "note": f"{blas}; with a float64 table {best[(False, case + '64')]:.3f} s; fibre images agree to "
                    f"{numpy_side.info[case + '_max_rel_diff']:.1e}",
        })
    rows.append({
        "stage": "signal_from_mixture + GnlField",
        "workload": f"sparse, {dims} x {NGRAD} volumes, per-voxel exponentials",
        "quorvel_s": best[(True, "field")],
        "yardstick": None,
        "yardstick_s": None,
        "speedup": None,
        "note": "",
    })
    return rows


def main():
    rows = run(small="--small" in sys.argv)
    for r in rows:
        line = f"{r['stage']:32s} {r['workload']}\n    quorvel {r['quorvel_s']:.3f} s"
        if r["yardstick"]:
            line += (f"   yardstick {r['yardstick_s']:.3f} s   speed-up x{r['speedup']:.2f}\n"
                     f"    {r['yardstick']}\n    {r['note']}")
        print(line)


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "--worker":
        worker(sys.argv[2], "--small" in sys.argv)
    else:
        main()
