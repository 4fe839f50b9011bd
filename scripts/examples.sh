#!/usr/bin/env bash
# Installs quorvel with the examples' extras (nibabel, matplotlib, Dask), runs every example at a
# small size into a temporary folder and checks what each one writes: file shapes, gradient
# tables, finite values, the ground truth, the optional stages' physical checks (which that example
# runs itself) and the distributed run's bit-for-bit equality.
# Usage: scripts/examples.sh [work folder]   (default: a temporary folder, removed afterwards)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh example,distributed

if [ $# -gt 0 ]; then
  work="$1"
else
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
# From outside the source tree, so the installed package is the one imported.
(cd "$work" && python3 "$OLDPWD/scripts/check_examples.py" "$work")
