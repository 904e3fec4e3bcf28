#!/usr/bin/env bash
# Pictures of the Cardflash window after a scan and after an update, taken offscreen against a
# simulated card on the virtual device bus. Builds nothing: give it a build tree that has
# cardflash_grab and the virtual bus (ninja -C BUILD cardflash_grab cardsim_bus).
#   scripts/screenshot.sh BUILD [OUT_DIR]   (OUT_DIR defaults to BUILD/screenshots)
# Writes OUT_DIR/cardflash-scan.png and OUT_DIR/cardflash-update.png. The update runs on real
# time, about 20 s.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
if [[ $# -lt 1 || $# -gt 2 ]]; then
  echo "usage: $0 BUILD [OUT_DIR]" >&2
  exit 2
fi
build="$(cd "$1" && pwd)"
out="${2:-$build/screenshots}"
grab="$build/updater/dialog/cardflash_grab"
for needed in "$grab" "$build/simbus/libhidapi-hidraw.so.0"; do
  [[ -e "$needed" ]] || { echo "$0: $needed is missing; build it first" >&2; exit 1; }
done
mkdir -p "$out"

export LD_LIBRARY_PATH="$build/simbus${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export CARDSIM_DEVICES="card id=1 fw=0102 boot=0005"
export QT_QPA_PLATFORM=offscreen
"$grab" "$here/sim/data/firmware_0200.txt" "$here/sim/data/stand_in_ram_bsl.txt" "$out"
echo "wrote $out/cardflash-scan.png and $out/cardflash-update.png"
