#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build and test dependencies is missing (Debian 12, as
# root). Does nothing when everything is present.
set -euo pipefail

packages=(
  g++ pkg-config meson ninja-build
  python3-dev python3-numpy python3-pytest python3-hypothesis python3-venv python3-mesonpy python3-pip
  libtbb-dev libgtest-dev libbenchmark-dev python3-matplotlib
  libopenmpi-dev openmpi-bin
)
if [[ "${VORN_WITH_CLANG:-0}" == 1 ]]; then
  packages+=(clang libclang-rt-14-dev clang-format git)
fi

# One query of the package database for all of them: quick and silent when nothing is missing.
declare -A installed=()
while read -r name status; do
  if [[ $status == installed ]]; then
    installed[$name]=1
  fi
done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null || true)

missing=()
for p in "${packages[@]}"; do
  [[ -n ${installed[$p]:-} ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    sudo=sudo
  else
    sudo=
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
