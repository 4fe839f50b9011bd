"""The type information shipped with the package matches the compiled module."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel._core as core


def test_stubs_ship_with_the_module_and_match_it(tmp_path):
    # Type checkers find the stubs only beside the module and only when py.typed marks the package.
    package = Path(core.__file__).parent
    for name in ["_core.pyi", "__init__.pyi", "py.typed"]:
        assert (package / name).is_file(), f"{name} missing beside {core.__file__}"
    pytest.importorskip("mypy.stubtest")
    # The package this session imports, first on the path; the temporary directory keeps the
    # source tree, mypy's files and any user configuration out of it.
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    env = {**os.environ, "PYTHONPATH": str(package.parent)}
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", "mypy.ini", "quorvel"],
                         capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "no issues found in 2 modules" in out.stdout  # the package and quorvel._core
