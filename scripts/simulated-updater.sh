#!/usr/bin/env bash
# Puts a copy of BUILD's Cardflash and the project's stand-in RAM boot loader in FOLDER, for
# updating simulated cards, and prints the command that runs it with the stand-in named
# (--ram-bsl). The stand-in has a name of its own, not TI's: no search finds it, so it never
# reaches a real card by mistake.
#   scripts/simulated-updater.sh BUILD FOLDER
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"
folder="$2"
mkdir -p "$folder"
cp -f "$build/updater/Cardflash" "$folder/Cardflash"
cp -f "$here/sim/data/stand_in_ram_bsl.txt" "$folder/"
echo "$folder/Cardflash --ram-bsl $folder/stand_in_ram_bsl.txt"
