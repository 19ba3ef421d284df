#!/usr/bin/env bash
# The main job: builds caustrix, computes light curves of uniform and
# limb-darkened sources for a few source sizes, prints them and writes a plot
# (out/light_curve.png).
cd "$(dirname "$0")/.."
source scripts/setup-common.sh

ensure_apt g++ pkg-config
ensure_build_tools
install_module demo
mkdir -p out
cd out && "$PYTHON" ../examples/lightcurve.py "$@"
