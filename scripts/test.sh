#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite twice: in a normal build
# and in a build with AddressSanitizer and UndefinedBehaviorSanitizer; then runs the fuzzers.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/setup.sh"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export QT_QPA_PLATFORM=offscreen
export TMPDIR="${TMPDIR:-/tmp}"

status=0
for variant in normal sanitize; do
  build="$here/build-$variant"
  args=()
  [ "$variant" = sanitize ] && args+=(-DCARDLINK_SANITIZE=ON)
  echo "== $variant build =="
  "$here/scripts/build.sh" "$build" "${args[@]}"
  echo "== $variant tests =="
  ctest --test-dir "$build" -j "$(nproc)" --output-on-failure --timeout 600 || status=1
done
# A bounded libFuzzer run of each target in a clang build of its own (about a minute in all).
echo "== fuzzing =="
"$here/scripts/fuzz.sh" 15 || status=1
exit $status
