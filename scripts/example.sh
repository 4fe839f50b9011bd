#!/usr/bin/env bash
# Installs quorvel with the example's extras (nibabel, matplotlib) and runs the phantom example:
# a small synthetic brain taken from streamlines to reconstructed EPI images, written as NIfTI
# with its FSL gradient table, a BIDS sidecar and a PNG figure.
# Usage: scripts/example.sh [output folder]   (default: out/phantom)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh example

out="${1:-out/phantom}"
python3 examples/phantom.py --out "$out"
echo "Outputs are in $(cd "$out" && pwd)"
