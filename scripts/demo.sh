#!/usr/bin/env bash
# The main job: builds caustrix, computes a uniform-disc magnification curve
# for a few source sizes, prints it and writes a plot.
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

ensure_apt g++ pkg-config
ensure_build_tools
install_module demo
mkdir -p out
cd out && "$PYTHON" ../examples/lightcurve.py "$@"
