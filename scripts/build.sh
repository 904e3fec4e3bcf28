#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh BUILD_DIR [extra CMake arguments...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
shift || true
mkdir -p "$build"
cmake -S "$here" -B "$build" -G Ninja -DCARDLINK_WERROR=ON "$@" > "$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)"
