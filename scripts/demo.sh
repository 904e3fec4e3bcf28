#!/usr/bin/env bash
# The main job on a machine without a card: builds everything and updates the firmware of a
# simulated card end to end with Cardflash's headless front end. The simulated card sits on the
# virtual device bus, the drop-in hidapi library that comes first on LD_LIBRARY_PATH.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/setup.sh"
build="$here/build-normal"
echo "Building in $build ..."
mkdir -p "$build"
"$here/scripts/build.sh" "$build" > "$build/build.log" 2>&1 || { tail -n 40 "$build/build.log"; exit 1; }

export LD_LIBRARY_PATH="$build/simbus${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export CARDSIM_DEVICES="${CARDSIM_DEVICES:-card id=1 fw=0102 boot=0005}"
firmware="${1:-$here/sim/data/firmware_0200.txt}"
echo "Simulated card: $CARDSIM_DEVICES"
# A copy of Cardflash in a folder of its own, with the stand-in RAM boot loader named on its command
# line: the stand-in is for simulated cards only.
read -r -a cardflash <<< "$("$here/scripts/simulated-updater.sh" "$build" "$build/simulated-card")"
echo "\$ ${cardflash[*]} --update $firmware"
"${cardflash[@]}" --update "$firmware"
