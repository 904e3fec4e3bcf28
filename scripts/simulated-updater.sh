#!/usr/bin/env bash
# Puts a copy of BUILD's Cardflash beside the project's stand-in RAM boot loader in FOLDER, for
# updating simulated cards, and prints the copy's path. The build tree's Cardflash has no RAM boot
# loader beside it: the stand-in must never reach a real card.
#   scripts/simulated-updater.sh BUILD FOLDER
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"
folder="$2"
mkdir -p "$folder"
cp -f "$build/updater/Cardflash" "$folder/Cardflash"
cp -f "$here/sim/data/RAM_BSL_00.08.08.39.txt" "$folder/"
echo "$folder/Cardflash"
