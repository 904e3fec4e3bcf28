#!/usr/bin/env bash
# Wall time of one real-time update of a simulated card with Cardflash --update, against its
# floor: 17.5 s of fixed pauses plus the card exchanges (scan, switch, identity: about 1.6 s).
#   bench/update_wall_time.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build-normal}"
export LD_LIBRARY_PATH="$build/simbus"
export CARDSIM_DEVICES="card id=1 fw=0102 boot=0005"
read -r -a cardflash <<< "$("$here/scripts/simulated-updater.sh" "$build" "$build/simulated-card")"
start=$(date +%s.%N)
"${cardflash[@]}" --update "$here/sim/data/firmware_0200.txt" > /dev/null
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" 'BEGIN { printf "update: %.2f s wall (fixed pauses 17.50 s; over the pauses %.2f s)\n", e - s, e - s - 17.5 }'
