#!/usr/bin/env bash
# Installs what building quorvel needs and is missing: FFTW3, oneTBB, GoogleTest (Debian
# packages), a C++ toolchain, then the Python package itself with the given extras.
# Usage: scripts/setup.sh [extras]   e.g. scripts/setup.sh test
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
[ -f /usr/include/fftw3.h ] || need+=(libfftw3-dev)
[ -d /usr/include/oneapi/tbb ] || need+=(libtbb-dev)
[ -d /usr/include/gtest ] || need+=(libgtest-dev)
command -v g++ >/dev/null || need+=(g++)
if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi

python3 -m pip install -q --upgrade "pip>=23" >/dev/null
python3 -m pip install -q cmake ninja
extras="${1:-}"
if [ -n "$extras" ]; then
  python3 -m pip install -q ".[${extras}]"
else
  python3 -m pip install -q .
fi
