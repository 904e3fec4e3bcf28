#!/usr/bin/env bash
# Sets up the machine, builds everything and runs the whole test suite twice: in a normal build
# and in a build with AddressSanitizer and UndefinedBehaviorSanitizer (without the hidraw harness,
# which plays real time); then the tests of threads (the library's, and Cardflash --all's) in a
# ThreadSanitizer build; then builds for Windows and runs its tests under wine, and runs the
# fuzzers.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
"$here/scripts/setup.sh"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"
export QT_QPA_PLATFORM=offscreen
export TMPDIR="${TMPDIR:-/tmp}"

status=0
passed=0
failed=0
# Each stage's wall time, printed at its end: the whole command must stay well under 15 minutes.
stage_start=$SECONDS
stage() { echo "== $1 (the stage before took $((SECONDS - stage_start)) s) =="; stage_start=$SECONDS; }
# Adds one ctest run's counts ("N% tests passed, F tests failed out of T") to the totals.
count() {
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | tail -n 1) || true
  if [ -z "$line" ]; then failed=$((failed + 1)); return; fi
  local f t
  f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<< "$line")
  t=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<< "$line")
  passed=$((passed + t - f))
  failed=$((failed + f))
}

for variant in normal sanitize; do
  build="$here/build-$variant"
  args=()
  # The hidraw harness runs the shipped programs in real time: its few scenarios run in the normal
  # build only. The sanitizer build is a debug build: it compiles faster, and its tests run on
  # virtual time.
  [ "$variant" = sanitize ] && args+=(-DCARDLINK_SANITIZE=ON -DCARDLINK_HIDRAW_HARNESS=OFF -DCMAKE_BUILD_TYPE=Debug)
  stage "$variant build"
  "$here/scripts/build.sh" "$build" "${args[@]}"
  # The Windows build is CPU work, most of the normal tests wait in real time: it runs beside them
  # (and beside the sanitizer stages) at the lowest priority, so it takes only what they leave.
  # The normal build's harness plays the scenarios under wine through wine's HID stack (the test
  # wine_hid_scenarios; ctest prints its time).
  if [ "$variant" = normal ]; then
    nice -n 19 "$here/scripts/build-windows.sh" "$here/build-windows" \
      -DCARDLINK_HIDRAW_E2E_TEST="$here/build-normal/tests/hidraw_e2e_test" > "$build/windows-build.log" 2>&1 &
    windows_build=$!
    trap 'kill "$windows_build" 2> /dev/null || true' EXIT
  fi
  stage "$variant tests"
  # Cardflash --all's programs run in real time: in the normal build, and below in the
  # ThreadSanitizer build, which is where their threads are checked. Most of the normal build's
  # time goes to programs that wait in real time (those, the hidraw scenarios), so twice as many
  # tests run as there are cores; the sanitizer build's tests are CPU work.
  filter=()
  jobs=$(( 2 * $(nproc) ))
  [ "$variant" = sanitize ] && filter=(-E '^AllCards\.') && jobs=$(nproc)
  ctest --test-dir "$build" -j "$jobs" --output-on-failure --timeout 600 "${filter[@]}" 2>&1 \
    | tee "$build/ctest.log" || status=1
  count "$build/ctest.log"
done
# The threads under ThreadSanitizer: the library's tests (eight threads on their own cards among
# them) and Cardflash --all with its cards' threads, the program and the virtual bus instrumented.
stage "thread sanitizer build"
tsan="$here/build-tsan"
mkdir -p "$tsan"
cmake -S "$here" -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCARDLINK_WERROR=ON -DCARDLINK_SANITIZE_THREAD=ON \
  -DCARDLINK_HIDRAW_HARNESS=OFF > "$tsan/configure.log" 2>&1 || { cat "$tsan/configure.log"; exit 1; }
cmake --build "$tsan" --target cardlink_test all_cards_test
stage "thread sanitizer tests"
ctest --test-dir "$tsan" -j "$(( 2 * $(nproc) ))" --output-on-failure --timeout 600 -R '^(CardlinkTest|AllCards)\.' 2>&1 \
  | tee "$tsan/ctest.log" || status=1
count "$tsan/ctest.log"
# The Windows build (mingw-w64) and its tests under wine, in a wine prefix of its own.
stage "windows build (what is left of it)"
windows_built=0
wait "$windows_build" || windows_built=$?
cat "$here/build-normal/windows-build.log"
[ "$windows_built" -eq 0 ] || { echo "the Windows build failed"; exit 1; }
stage "windows tests"
ctest --test-dir "$here/build-windows" -j "$(nproc)" --output-on-failure --timeout 600 2>&1 \
  | tee "$here/build-windows/ctest.log" || status=1
count "$here/build-windows/ctest.log"
# A bounded libFuzzer run of each target in a clang build of its own (about a minute in all).
stage "fuzzing"
if "$here/scripts/fuzz.sh" 15; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
[ "$failed" -eq 0 ] || status=1
stage "end"
echo "tests: $passed passed, $failed failed in $SECONDS s"
exit $status
