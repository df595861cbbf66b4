#!/usr/bin/env bash
# Builds vorn_python with meson-python and installs it into a private virtual environment
# (build/venv), which sees Debian's numpy and pytest. Incremental: the build tree is kept in
# build/py. Arguments are passed to meson setup: tools/install.sh -Dwerror=true
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ! -x build/venv/bin/python ]]; then
  /usr/bin/python3 -m venv --system-site-packages build/venv
fi
setup_args=()
for arg in "$@"; do
  setup_args+=("--config-settings=setup-args=$arg")
done
build/venv/bin/python -m pip install --quiet --no-build-isolation --no-deps \
  --config-settings=builddir=build/py "${setup_args[@]}" .
