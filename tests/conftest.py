import math
import os
import subprocess
import sys

import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(42)


def raises(error, text, call):
    """call() raises `error` whose message, or one of its notes, is exactly `text`."""
    with pytest.raises(error) as info:
        call()
    assert text in [str(info.value), *getattr(info.value, "__notes__", [])]


# Under AddressSanitizer the address space is reserved up front, so no RLIMIT_AS fits.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_no_asan = pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's shadow memory does not fit under an address-space cap")
# Prepended to a child's code: a fault that allocates without end fails there, not the machine.
ADDRESS_CAP = "" if UNDER_ASAN else "import resource; resource.setrlimit(resource.RLIMIT_AS, (2**31, 2**31))\n"

M64, GOLDEN = (1 << 64) - 1, 0x9E3779B97F4A7C15


def splitmix(z):
    """The SplitMix64 finaliser."""
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return z ^ (z >> 31)


def run_process(code: str, env: dict | None = None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (the worker pool is built once per process); a crash
    shows in the return code, a hang raises TimeoutExpired."""
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=full_env, timeout=timeout)


def run_isolated(code: str, env: dict | None = None) -> str:
    """run_process that must succeed; returns its standard output."""
    out = run_process(code, env)
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


def thread_counts_agree(code: str, counts=(1, 4)) -> list[str]:
    """Runs `code` in a fresh interpreter per pool size; the outputs must be identical (explicit
    sizes: the default would be 1 against 1 on a one-CPU machine). Returns the output lines."""
    outs = [run_isolated(f"import quorvel._core as _c\nassert _c.set_threads({n})\n" + code + "\nprint(_c.current_threads())")
            .splitlines() for n in counts]
    assert [o[-1] for o in outs] == [str(n) for n in counts]
    for o in outs[1:]:
        assert o[:-1] == outs[0][:-1]
    return outs[0][:-1]


def brick_plan(dims, nvert, threads):
    """The streamline builder's voxel bricks: (sides, counts per axis)."""
    # The longest side is halved until a brick's float64 rows fit 1 MiB, a thread's share of max(16 MiB,
    # histogram / 16) and a quarter of a thread's share of the voxels.
    nvox, row = math.prod(dims), max(nvert, 1) * 8
    cap = max(min(2**20 // row, max(nvox * nvert // 4, 16 << 20) // (threads * row), -(-nvox // (4 * threads))), 1)
    size = list(dims)
    while math.prod(size) > cap:
        size[size.index(max(size))] = (max(size) + 1) // 2
    return size, [-(-d // s) for d, s in zip(dims, size)]
