#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Does nothing when every package is already present, so `make` stays quick.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libopenexr-dev libimath-dev zlib1g-dev
  libcli11-dev libtbb-dev directx-headers-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  mingw-w64 openimageio-tools clang-format
  libpng-dev chromium
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
