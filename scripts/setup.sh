#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need. Safe to run again:
# when everything is already there it changes nothing and asks no package server.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config git
  libhidapi-dev libudev-dev libboost-dev libgtest-dev qt6-base-dev libcli11-dev libxcb1-dev nlohmann-json3-dev
  umockdev libumockdev-dev libglib2.0-dev
  srecord xvfb xauth
  clang libclang-rt-14-dev llvm
  dpkg-dev file  # the Debian package: dpkg-shlibdeps and file, used by cpack -G DEB
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
