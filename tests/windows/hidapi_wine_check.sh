#!/usr/bin/env bash
# The test-only hidapi.dll of the harness under wine differs from the shipped one by its patch
# alone: hidapi_wine_check.sh SHIPPED_SOURCE TEST_SOURCE PATCH, with the sources that the build
# compiles into the two DLLs. The shipped source must be hidapi 0.13.1's windows/hid.c as released
# (the checksum the patch names), the test source that file with the patch's hunks and nothing
# else, and each hunk must say which wine function it works around ("wine 8:").
set -uo pipefail
shipped=$1 test_source=$2 patch=$3
fail() { echo "FAIL: $*"; exit 1; }
released=$(sed -nE 's/.*sha256 ([0-9a-f]{64}).*/\1/p' "$patch" | head -n 1)
[ "$(sha256sum < "$shipped" | cut -d' ' -f1)" = "$released" ] || fail "$shipped is not hidapi 0.13.1's windows/hid.c"
cmp -s <(diff -u "$shipped" "$test_source" | sed -n '/^@@/,$p') <(sed -n '/^@@/,$p' "$patch") ||
  fail "$test_source differs from $shipped by more or less than $patch"
awk '/^@@/ { hunks++; if (hunks > 1 && !said) bad = 1; said = 0 } /^\+.*wine 8:/ { said = 1 }
     END { exit (hunks == 0 || bad || !said) }' "$patch" || fail "a hunk of $patch names no wine function"
echo "hidapi-wine check passed: $(grep -c '^@@' "$patch") hunks"
