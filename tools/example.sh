#!/usr/bin/env bash
# The main job: installs what is missing, builds and installs vorn_python, and runs the example,
# which builds circuits, runs them and reads out the results.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh
tools/install.sh
build/venv/bin/python examples/tour.py
