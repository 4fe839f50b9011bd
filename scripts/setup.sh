#!/usr/bin/env bash
# Installs what building quorvel needs and is missing, then the Python package itself with the
# given extras. Prints one line per step; the apt and pip output goes to build/setup.log, whose
# tail is shown when a step fails.
# Usage: scripts/setup.sh [extras]   e.g. scripts/setup.sh test   or   scripts/setup.sh example,distributed
set -euo pipefail
cd "$(dirname "$0")/.."

mkdir -p build
log="$PWD/build/setup.log"
: >"$log"

# step "what and why" command...: runs the command with its output in the log.
step() {
  local what="$1"
  shift
  echo "setup: $what"
  echo "==== $what: $*" >>"$log"
  if ! "$@" >>"$log" 2>&1; then
    echo "setup: FAILED: $what" >&2
    echo "---- last 40 lines of $log ----" >&2
    tail -n 40 "$log" >&2
    echo "---- full log: $log ----" >&2
    exit 1
  fi
}

need=()
why=()
[ -f /usr/include/fftw3.h ] || { need+=(libfftw3-dev); why+=("FFTW3 for the k-space FFTs"); }
[ -d /usr/include/oneapi/tbb ] || { need+=(libtbb-dev); why+=("oneTBB for the worker pool"); }
[ -d /usr/include/gtest ] || { need+=(libgtest-dev); why+=("GoogleTest for the C++ unit tests"); }
command -v g++ >/dev/null || { need+=(g++); why+=("a C++20 compiler"); }
python3 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' ||
  { need+=(python3-dev); why+=("the Python headers for the extension"); }
python3 -m pip --version >/dev/null 2>&1 || { need+=(python3-pip); why+=("pip for the Python packages"); }

if [ ${#need[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  step "refreshing the Debian package lists" $SUDO apt-get update
  joined=$(printf '%s; ' "${why[@]}")
  step "installing ${need[*]} (${joined%; })" \
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need[@]}"
else
  echo "setup: FFTW3, oneTBB, GoogleTest, g++ and the Python headers are already installed"
fi

# Debian's own interpreter refuses pip installs outside a virtual environment; this script
# installs into whichever python3 runs it, as the tests and examples use that one.
if python3 -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["stdlib"], "EXTERNALLY-MANAGED")))'; then
  export PIP_BREAK_SYSTEM_PACKAGES=1
fi
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

step "upgrading pip (23 or newer reads the package's build settings)" python3 -m pip install --upgrade "pip>=23"
step "installing CMake and Ninja with pip (to build the C++ core)" python3 -m pip install cmake ninja
extras="${1:-}"
if [ -n "$extras" ]; then
  step "building and installing quorvel with the extras [$extras] (compiles the C++ core; about a minute)" \
    python3 -m pip install ".[${extras}]"
else
  step "building and installing quorvel (compiles the C++ core; about a minute)" python3 -m pip install .
fi
echo "setup: done (details in $log)"
