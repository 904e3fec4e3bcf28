#!/usr/bin/env bash
# Installs the build into a staging directory and checks what a user or another program gets:
# the layout, the library's SONAME, no run path into the build tree, and a C consumer built
# against the installed files through pkg-config and through find_package, run against the
# virtual bus.
#   install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR C_COMPILER LIBDIR HAVE_CARDFLASH VERSION SOVERSION [EXTRA_FLAGS]
set -euo pipefail
build=$1 source=$2 work=$3 cc=$4 libdir=$5 have_cardflash=$6 version=$7 soversion=$8 extra_flags=${9:-}
cmake="${CMAKE:-cmake}"  # the cmake that configured the build

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work"
mkdir -p "$work"
stage="$work/stage"
"$cmake" --install "$build" --prefix "$stage" > "$work/install.log"

expected_files=(
  bin/cardtool
  "$libdir/libCardlink.so.$version" "$libdir/libCardlink.so.$soversion" "$libdir/libCardlink.so"
  include/cardlink.h include/cardlink_export.h
  "$libdir/pkgconfig/cardlink.pc"
  "$libdir/cmake/Cardlink/CardlinkConfig.cmake" "$libdir/cmake/Cardlink/CardlinkConfigVersion.cmake"
  lib/udev/rules.d/70-cardlink.rules
  share/man/man1/cardtool.1.gz share/man/man1/Cardflash.1.gz share/cardlink/README)
[ "$have_cardflash" = 1 ] && expected_files+=(bin/Cardflash)
for f in "${expected_files[@]}"; do
  [ -e "$stage/$f" ] || fail "not installed: $f"
done
# TI's RAM boot-loader image is never shipped, and the project's stand-in never installed.
[ -z "$(find "$stage" -name 'RAM_BSL_*')" ] || fail "a RAM boot-loader image is installed"
[ "$(readlink "$stage/$libdir/libCardlink.so")" = "libCardlink.so.$soversion" ] \
  || fail "libCardlink.so is not a link to libCardlink.so.$soversion"
soname=$(readelf -d "$stage/$libdir/libCardlink.so.$version" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ "$soname" = "libCardlink.so.$soversion" ] || fail "SONAME is '$soname'"
for f in bin/cardtool bin/Cardflash "$libdir/libCardlink.so.$version"; do
  [ -e "$stage/$f" ] || continue
  if readelf -d "$stage/$f" | grep -E 'R(UN)?PATH' | grep -q "$build"; then fail "$f keeps a run path into the build tree"; fi
done
for page in cardtool Cardflash; do
  gzip -dc "$stage/share/man/man1/$page.1.gz" | grep -q '^\.TH' || fail "$page.1.gz is not a manual page"
done

export PKG_CONFIG_PATH="$stage/$libdir/pkgconfig"
pc_version=$(pkg-config --modversion cardlink) || fail "pkg-config does not find cardlink"
[ "${pc_version:-}" = "$version" ] || fail "pkg-config version '${pc_version:-}'"

# shellcheck disable=SC2086  # the flags are words
"$cc" -D_GNU_SOURCE $extra_flags -o "$work/consumer-pkg-config" "$source/tests/install/consumer.c" \
  $(pkg-config --cflags --libs cardlink) -ldl || fail "consumer does not build through pkg-config"

unset PKG_CONFIG_PATH
"$cmake" -S "$source/tests/install/consumer" -B "$work/consumer-cmake" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$stage" -DCMAKE_C_FLAGS="$extra_flags" -DCMAKE_EXE_LINKER_FLAGS="$extra_flags" \
  > "$work/consumer-cmake.log" 2>&1 \
  && "$cmake" --build "$work/consumer-cmake" >> "$work/consumer-cmake.log" 2>&1 \
  || { cat "$work/consumer-cmake.log"; fail "consumer does not build through find_package"; }

# The virtual bus stands in for Debian's hidapi; libCardlink must come from the staging directory.
staged_lib=$(cd "$stage/$libdir" && pwd -P)/libCardlink.so.$soversion
expected="cards 1
first card 2933:0001 id 3 firmware 0102 boot loader 0005
library $staged_lib"
for program in "$work/consumer-pkg-config" "$work/consumer-cmake/consumer"; do
  [ -x "$program" ] || continue
  output=$(LD_LIBRARY_PATH="$build/simbus:$stage/$libdir" CARDSIM_DEVICES="card id=3 fw=0102" "$program" 2>&1) \
    || fail "$(basename "$program") exited with $?"
  # dladdr names the library as the dynamic linker opened it; resolve the directory part.
  output=$(printf '%s\n' "$output" | while IFS= read -r line; do
    case $line in
      "library "*) p=${line#library }; echo "library $(cd "$(dirname "$p")" && pwd -P)/$(basename "$p")" ;;
      *) echo "$line" ;;
    esac
  done)
  if [ "$output" != "$expected" ]; then
    fail "$program printed:"
    printf '%s\n' "$output" | sed 's/^/    /'
    echo "  expected:"
    printf '%s\n' "$expected" | sed 's/^/    /'
  fi
done

[ $failures -eq 0 ] && echo "install test passed"
exit $((failures > 0))
