#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suites (GoogleTest) and the Python suite (pytest)
# against the installed module. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/deps.sh

jobs=$(nproc 2>/dev/null || echo 2)

if [[ ! -f build/cpp/build.ninja ]]; then
  meson setup build/cpp -Dpython=false
fi
ninja -C build/cpp -j "$jobs"
meson test -C build/cpp --print-errorlogs

tools/install.sh
# The MPI runner's tests find it here; they skip when it was not built (no MPI).
export VORN_MPI="$PWD/build/cpp/mpi/vorn-mpi"
build/venv/bin/python -m pytest -q tests/python
