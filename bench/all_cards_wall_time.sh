#!/usr/bin/env bash
# Wall time of Cardflash --update FILE --all for 1, 2, 4 and 8 simulated cards in real time, and
# each against one card's. The cards sit as on a server: behind hubs of two USB buses (3-1.N and
# 4-1.N), so that their re-enumerations queue for address 0 on each bus as the kernel has them.
#   bench/all_cards_wall_time.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build-normal}"
export LD_LIBRARY_PATH="$build/simbus"
read -r -a cardflash <<< "$("$here/scripts/simulated-updater.sh" "$build" "$build/simulated-card")"
one=""
printf '%-6s %-10s %s\n' cards "wall (s)" "to one card"
for n in 1 2 4 8; do
  devices=""
  for ((i = 1; i <= n; i++)); do
    devices+="card id=$i fw=0102 boot=0005 port=$((3 + (i - 1) % 2))-1.$(((i + 1) / 2));"
  done
  start=$(date +%s.%N)
  status=0
  CARDSIM_DEVICES="$devices" "${cardflash[@]}" --update "$here/sim/data/firmware_0200.txt" --all > /dev/null || status=$?
  end=$(date +%s.%N)
  [ "$status" -eq 0 ] || { echo "$n cards: Cardflash --all ended with $status" >&2; exit 1; }
  wall=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", e - s }')
  [ -n "$one" ] || one=$wall
  awk -v n="$n" -v w="$wall" -v o="$one" 'BEGIN { printf "%-6d %-10.2f %.3f\n", n, w, w / o }'
done
