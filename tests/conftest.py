import os
import subprocess
import sys

import numpy as np
import pytest

import quorvel._core as core


@pytest.fixture
def rng():
    return np.random.default_rng(42)


# Under AddressSanitizer the address space is reserved up front, so no RLIMIT_AS fits.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


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
