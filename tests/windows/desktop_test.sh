#!/usr/bin/env bash
# The Cardflash window as a user meets it, once: Cardflash.exe under wine on Xvfb, beside the
# virtual bus and the stand-in RAM boot loader, in code page 950, on a wine desktop of its own
# with the X11 driver. xdotool clicks "Device Scan", then "FW Update", types the firmware's path
# into the real file dialog and presses Return, and clicks "Close" once the update has ended.
# Screenshots of the window after the scan and after the update are read back by OCR for key words
# (the log's exact text is win32_dialog_test's). Before that, Cardflash.exe given an option shows
# its message box, whose OK is clicked.
#   desktop_test.sh BIN SIMBUS_HIDAPI_DLL DATA PROBE OUT     (WINEPREFIX: the tests' prefix)
# Leaves the screenshots in OUT; prints "FAIL: ..." at the first problem, or "desktop test passed".
set -uo pipefail
bin="$1" simbus="$2" data="$3" probe="$4" out="$5"
export WINEDEBUG=-all LC_ALL=zh_TW.UTF-8
fail() { echo "FAIL: $*"; exit 1; }
mkdir -p "$out"
# The program in a folder C:\Cardflash of its own, with the firmware to choose.
folder="$WINEPREFIX/drive_c/Cardflash"
rm -rf "$folder"
mkdir -p "$folder"
cp "$bin/Cardflash.exe" "$bin/Cardlink.dll" "$simbus" "$data/stand_in_ram_bsl.txt" "$data/firmware_0200.txt" "$folder/"
work=$(mktemp -d)

# A screen of its own: Xvfb names its display once it is ready.
displayed="$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3> "$displayed" 2> /dev/null &
xvfb=$!
trap 'kill $xvfb 2> /dev/null; rm -rf "$folder" "$work"' EXIT
for _ in $(seq 100); do [ -s "$displayed" ] && break; sleep 0.1; done
[ -s "$displayed" ] || fail "Xvfb did not start"
export DISPLAY=":$(head -n 1 "$displayed")"

# Runs Cardflash.exe with these arguments on the desktop, in the background.
run_on_desktop() {
  (cd "$folder" && CARDSIM_DEVICES="card id=1 fw=0102 boot=0005" CARDSIM_WIRE_LOG="$folder/wire.log" \
     wine explorer /desktop=cardflash,1024x768,x11 Cardflash.exe "$@") &
}
probe() { wine "$probe" "$@"; }
# Waits until the probe says yes: up to $1 tenths of a second.
await() {
  local tenths="$1"
  shift
  for _ in $(seq "$tenths"); do probe "$@" > /dev/null && return 0; sleep 0.1; done
  return 1
}
# Clicks control $2 of window $1 where it shows on the desktop's X window.
click() {
  local desktop x y
  desktop=$(xdotool search --name '^cardflash - Wine desktop$' 2> /dev/null | head -n 1)
  read -r x y < <(probe "$1" "$2") || true
  [ -n "$desktop" ] && [ -n "$y" ] || fail "no control $2 in $1"
  xdotool mousemove --window "$desktop" "$x" "$y" click 1
}
# The window, cropped from the screen, saved as $1.png; prints what OCR reads in it (grey, 3x).
read_back() {
  local rectangle
  rectangle=$(probe "$2" 0)
  import -window root -crop "$rectangle" +repage "$out/$1.png" || fail "no screenshot $1"
  convert "$out/$1.png" -colorspace Gray -resize 300% "$work/ocr.png"
  tesseract "$work/ocr.png" - 2> /dev/null
}
expect_words() {
  local what="$1" text="$2" word
  shift 2
  for word in "$@"; do grep -qF -- "$word" <<< "$text" || fail "OCR of $what lacks \"$word\" in: $text"; done
}

# Options belong to Cardflash.com: given one, Cardflash.exe says so and touches no card (the
# virtual bus beside it does not even start).
run_on_desktop --scan
program=$!
await 200 Cardflash 65535 || fail "Cardflash.exe --scan showed no message box"
said=$(probe Cardflash 65535 | tail -n +2)
[[ "$said" == *"For --scan, --update FILE, --recover FILE and --help run Cardflash.com"* ]] ||
  fail "the message box says: $said"
click Cardflash 1  # OK
for _ in $(seq 100); do kill -0 $program 2> /dev/null || break; sleep 0.1; done
kill -0 $program 2> /dev/null && fail "Cardflash.exe --scan did not end"
[ ! -e "$folder/wire.log" ] || fail "Cardflash.exe --scan touched the card"

# The window takes the stand-in RAM boot loader by name, as a user names TI's image.
run_on_desktop --ram-bsl 'C:\Cardflash\stand_in_ram_bsl.txt'
program=$!
await 200 Cardflash 1003 || fail "the window did not show with Device Scan enabled"
click Cardflash 1003
await 100 Cardflash 1004 || fail "FW Update was not enabled by the scan"
sleep 0.5  # the scroll to the log's end
expect_words "the scan" "$(read_back cardflash-windows-scan Cardflash)" "Msp430 Information" "0102"

click Cardflash 1004
await 100 "Read System Firmware 2 BIN" || fail "no file dialog"
xdotool type --delay 5 'C:\Cardflash\firmware_0200.txt'
xdotool key Return
await 50 Cardflash 1004 && fail "FW Update is enabled during the update"
await 900 Cardflash 1003 || fail "the update did not end"
sleep 0.5
expect_words "the update" "$(read_back cardflash-windows-update Cardflash)" "firmware_0200.txt" "Verify Complete" \
  "Device Reset" "0200"

click Cardflash 1005
for _ in $(seq 100); do kill -0 $program 2> /dev/null || break; sleep 0.1; done
kill -0 $program 2> /dev/null && fail "Close did not end the program"
echo "desktop test passed"
