#!/usr/bin/env bash
# The Windows installer under wine: a silent install puts the files, the Start-menu shortcut and
# the uninstall key in place; the installed Cardflash.com scans a simulated card (the virtual
# bus's hidapi.dll over the installed one, which cannot start under wine); a silent uninstall
# leaves nothing. The zip holds the same files.
#   installer_test.sh SETUP ZIP SIMBUS_HIDAPI_DLL     (WINEPREFIX: the tests' prefix)
# Prints "FAIL: ..." for each problem and "installer test passed".
set -uo pipefail
setup="$(realpath "$1")" zip="$(realpath "$2")" simbus="$(realpath "$3")"
export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d"  # no menu entries on the build machine
installed="$WINEPREFIX/drive_c/Program Files/Cardlink"
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Cardflash.lnk"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Cardlink'
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
files_in() { (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort); }
shipped=$'Cardflash.com\nCardflash.exe\nCardlink.dll\nREADME.txt\nhidapi.dll\nsdk/Cardlink.def\nsdk/cardlink.h\nsdk/cardlink_export.h\nsdk/libCardlink.dll.a'

# What an earlier run that stopped half-way left.
rm -rf "$installed" "$shortcut"
wine reg delete "$key" /f > /dev/null 2>&1

# An installer that cannot start under wine still exits 0: the files tell.
wine "$setup" /S || fail "the installer exited with $?"
[ "$(files_in "$installed")" = "$shipped"$'\nuninstall.exe' ] || fail "installed: $(files_in "$installed" | tr '\n' ' ')"
[ -f "$shortcut" ] || fail "no Start-menu shortcut"
uninstall=$(wine reg query "$key" /v QuietUninstallString 2> /dev/null | tr -d '\r')
[[ "$uninstall" == *'"C:\Program Files\Cardlink\uninstall.exe" /S'* ]] || fail "uninstall key: $uninstall"

cp "$simbus" "$installed/hidapi.dll"
scan=$(cd "$installed" && CARDSIM_DEVICES="card id=1 fw=0102 boot=0005" wine 'C:\Program Files\Cardlink\Cardflash.com' --scan)
expected=$'Total 1 Msp430 find\r\nFlash Msp430 Information:\r\nVID: 0x2933 PID:1 CardId: 1\r\nFW Ver =0102,Boot Ver=0005\r'
[ "$scan" = "$expected" ] || fail "Cardflash.com --scan printed: $scan"

# The uninstaller goes on from a copy of itself in the temporary folder, and removes the folder
# last.
wine 'C:\Program Files\Cardlink\uninstall.exe' /S || fail "the uninstaller exited with $?"
for _ in $(seq 100); do [ -e "$installed" ] || break; sleep 0.1; done
[ ! -e "$installed" ] || fail "left after uninstalling: $(files_in "$installed" | tr '\n' ' ')"
[ ! -e "$shortcut" ] || fail "the shortcut is left"
wine reg query "$key" > /dev/null 2>&1 && fail "the uninstall key is left"

unpacked=$(mktemp -d)
(cd "$unpacked" && cmake -E tar xf "$zip") || fail "cannot unpack $zip"
[ "$(files_in "$unpacked/Cardlink")" = "$shipped" ] || fail "the zip holds: $(files_in "$unpacked" | tr '\n' ' ')"
rm -rf "$unpacked"

if [ "$failures" -eq 0 ]; then echo "installer test passed"; else exit 1; fi
