#!/usr/bin/env bash
# The main job on a machine without a card: builds the tools and runs them against a simulated
# card on the virtual device bus (the drop-in hidapi library comes first on LD_LIBRARY_PATH).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/setup.sh"
build="$here/build-normal"
"$here/scripts/build.sh" "$build" > /dev/null

export LD_LIBRARY_PATH="$build/simbus${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export CARDSIM_DEVICES="${CARDSIM_DEVICES:-card id=1 fw=0102 boot=0005}"
echo "\$ cardtool -i      # one simulated card: $CARDSIM_DEVICES"
"$build/tool/cardtool" -i
