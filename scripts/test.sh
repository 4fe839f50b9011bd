#!/usr/bin/env bash
# Builds and installs quorvel with its test dependencies, then runs every test:
# the C++ unit tests (GoogleTest, through ctest) and the Python suite (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh test

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/cpp-tests -G Ninja -DQUORVEL_TESTS=ON -DQUORVEL_PYTHON=OFF >/dev/null
cmake --build build/cpp-tests -j "$jobs"
ctest --test-dir build/cpp-tests --output-on-failure -j "$jobs"

# Run from the tests folder so the installed package, not the source tree, is imported.
python3 -m pytest -q tests "$@"
