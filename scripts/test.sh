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

# The module built for one instruction set at a time (baseline x86-64, and AVX2 with FMA), which
# tests/test_isa_builds.py holds to the installed default build's bits.
isa_builds=""
if [ "$(uname -m)" = x86_64 ]; then
  for isa in x86-64 x86-64-v3; do
    cmake -S . -B "build/isa-$isa" -G Ninja -DQUORVEL_ISA="$isa" >/dev/null
    cmake --build "build/isa-$isa" -j "$jobs"
    isa_builds+="$isa=$PWD/build/isa-$isa/pkg "
  done
fi

# Run from the tests folder so the installed package, not the source tree, is imported.
QUORVEL_ISA_BUILDS="$isa_builds" python3 -m pytest -q tests "$@"
