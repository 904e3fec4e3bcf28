#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/: the project with CARDLINK_BUILD_FUZZERS, with clang) and runs
# each for a bounded time:
#   scripts/fuzz.sh [SECONDS_PER_TARGET]     (default 15; BUILD_FUZZ=dir overrides build-fuzz;
#                                              FUZZ_SEED=n another seed than 1, 0 for a random one)
# The corpus grows in BUILD/corpus/<target>, seeded from fuzz/corpus/<target>; an input that
# crashes, hangs (10 s), leaks or trips a sanitizer is kept in BUILD/artifacts/ and fails the run.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_FUZZ:-$here/build-fuzz}"
seconds="${1:-15}"

mkdir -p "$build"
targets=(titxt_reader card_replies)
# The fuzz programs and what they link, nothing else: the updater beyond its reader stays out.
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCARDLINK_BUILD_FUZZERS=ON -DCARDLINK_BUILD_TESTS=OFF \
  -DCARDLINK_BUILD_UPDATER=OFF -DCARDLINK_WERROR=ON > "$build/configure.log" 2>&1 \
  || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus" "$build/artifacts"
  args=(-max_total_time="$seconds" -seed="${FUZZ_SEED:-1}" -timeout=10 -print_final_stats=1 -close_fd_mask=1
        -artifact_prefix="$build/artifacts/$target-")
  [ -f "$here/fuzz/$target.dict" ] && args+=(-dict="$here/fuzz/$target.dict")
  log="$build/$target.log"
  echo "== fuzz_$target: ${seconds} s =="
  if "$build/fuzz/fuzz_$target" "${args[@]}" "$corpus" "$here/fuzz/corpus/$target" > "$log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
    grep -E 'DONE +cov' "$log" | tail -1 || true
  else
    echo "fuzz_$target FAILED:"
    grep -v -E '^#[0-9]+' "$log" | tail -40
    status=1
  fi
done
exit $status
