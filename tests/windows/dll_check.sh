#!/usr/bin/env bash
# What Windows checks when it starts a program and wine does not: every function a module imports
# is exported by the DLL it names (wine starts the program anyway and fails only at the call).
#   dll_check.sh OBJDUMP BIN SIMBUS HEADER
# BIN holds Cardflash.com, Cardflash.exe, Cardlink.dll and the shipped hidapi.dll, SIMBUS the
# virtual bus built as hidapi.dll, HEADER is cardlink.h. Prints "FAIL: ..." for each problem and "dll check passed".
set -uo pipefail
objdump="$1" bin="$2" simbus="$3" header="$4"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The exported names of a DLL, one a line, sorted.
exports() { "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | sort; }
# "DLL function" for each function a module imports by name.
imports() {
  "$objdump" -p "$1" | awk '
    /^[[:space:]]*DLL Name:/ { dll = $3; next }
    /^[[:space:]]*$/ { dll = ""; next }
    dll != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print dll, $3 }'
}
dlls() { imports "$1" | cut -d' ' -f1 | LC_ALL=C sort -u | tr '\n' ' '; }

# Cardlink.dll exports exactly the functions that cardlink.h declares, under their C names.
declared=$(grep -oE 'CARDLINK_API [^(]*\b(Tav_[A-Za-z_]+)\(' "$header" | grep -oE 'Tav_[A-Za-z_]+' | sort)
[ "$(wc -l <<< "$declared")" -eq 24 ] || fail "cardlink.h declares $(wc -l <<< "$declared") exports, not 24"
[ "$(exports "$bin/Cardlink.dll")" = "$declared" ] ||
  fail "Cardlink.dll exports $(exports "$bin/Cardlink.dll" | tr '\n' ' ') instead of $(tr '\n' ' ' <<< "$declared")"

# Each module imports only the DLLs that ship beside it and Windows' own (msvcrt.dll is part of
# Windows): no C++ runtime or thread library DLL.
[ "$(dlls "$bin/Cardlink.dll")" = "KERNEL32.dll hidapi.dll msvcrt.dll " ] ||
  fail "Cardlink.dll imports from: $(dlls "$bin/Cardlink.dll")"
[ "$(dlls "$bin/Cardflash.com")" = "Cardlink.dll KERNEL32.dll msvcrt.dll " ] ||
  fail "Cardflash.com imports from: $(dlls "$bin/Cardflash.com")"
[ "$(dlls "$bin/hidapi.dll")" = "KERNEL32.dll msvcrt.dll " ] || fail "hidapi.dll imports from: $(dlls "$bin/hidapi.dll")"
# The window: Windows' user interface, common controls and COM (the file dialog) besides.
[ "$(dlls "$bin/Cardflash.exe")" = "COMCTL32.dll Cardlink.dll KERNEL32.dll USER32.dll msvcrt.dll ole32.dll " ] ||
  fail "Cardflash.exe imports from: $(dlls "$bin/Cardflash.exe")"

# Every function imported from Cardlink.dll or hidapi.dll is exported by the DLL that ships, and
# by the virtual bus that stands in for hidapi.dll in the tests.
for module in "$bin/Cardlink.dll" "$bin/Cardflash.com" "$bin/Cardflash.exe"; do
  while read -r dll function; do
    case "$dll" in
      hidapi.dll) providers=("$bin/hidapi.dll" "$simbus/hidapi.dll") ;;
      Cardlink.dll) providers=("$bin/Cardlink.dll") ;;
      *) continue ;;
    esac
    for provider in "${providers[@]}"; do
      grep -qx "$function" <(exports "$provider") || fail "$(basename "$module") imports $function, which $provider does not export"
    done
  done < <(imports "$module")
done
[ "$(imports "$bin/Cardlink.dll" | grep -c '^hidapi.dll ')" -gt 0 ] || fail "no hidapi.dll import of Cardlink.dll was read"

if [ "$failures" -eq 0 ]; then echo "dll check passed"; else exit 1; fi
