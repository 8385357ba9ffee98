#!/usr/bin/env bash
# Builds the libFuzzer harnesses into build-fuzz/ and runs each for its share of the given seconds (default
# 60 in all). New inputs go to build-fuzz/corpus/<harness>; fuzz/corpus/<harness> holds the seeds.
set -euo pipefail
cd "$(dirname "$0")/.."
total="${1:-60}"
harnesses=(reader manager auth certificates)
build=build-fuzz
cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" >/dev/null
cmake --build "$build" -j "$(nproc)"
each=$(( total / ${#harnesses[@]} ))
[ "$each" -ge 1 ] || each=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for h in "${harnesses[@]}"; do
  mkdir -p "$build/corpus/$h"
  echo "== fuzz_$h for ${each}s =="
  "$build/fuzz_$h" -max_total_time="$each" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$build/" "$build/corpus/$h" "fuzz/corpus/$h" 2>&1 | tail -n 12
done
