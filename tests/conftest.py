import os
import subprocess
import sys

import numpy as np
import pytest

import quorvel._core as core


@pytest.fixture
def rng():
    return np.random.default_rng(42)


def run_isolated(code: str, env: dict | None = None) -> str:
    """Runs `code` in a fresh interpreter (the worker pool is built once per process) and
    returns its standard output."""
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full_env.update(env or {})
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=full_env, check=True)
    return out.stdout.strip()
