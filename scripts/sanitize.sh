#!/usr/bin/env bash
# Builds quorvel with AddressSanitizer and UBSan and runs both test suites against that build.
# Assumes the dependencies are installed (scripts/setup.sh test).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/asan -G Ninja -DQUORVEL_SANITIZE=ON -DQUORVEL_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/asan -j "$jobs"
ctest --test-dir build/asan --output-on-failure -j "$jobs"
# The interpreter itself is not instrumented: preload the runtimes; CPython's own allocations
# are not leaks of ours.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
PYTHONPATH=build/asan/pkg python3 -m pytest -q tests "$@"
