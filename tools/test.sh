#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suites (GoogleTest) and the Python suite (pytest)
# against the installed module. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

# Warnings are errors here, not in the project's defaults; a build tree configured without it
# is reconfigured.
if [[ ! -f build/cpp/build.ninja ]]; then
  meson setup build/cpp -Dpython=false -Dwerror=true
elif ! grep -q '"name": "werror", "value": true' build/cpp/meson-info/intro-buildoptions.json; then
  meson configure build/cpp -Dwerror=true
fi
ninja -C build/cpp -j "$jobs"
meson test -C build/cpp --print-errorlogs

tools/install.sh -Dwerror=true
# The MPI runner's tests find it here; they skip when it was not built (no MPI).
export VORN_MPI="$PWD/build/cpp/mpi/vorn-mpi"
build/venv/bin/python -m pytest -q tests/python
