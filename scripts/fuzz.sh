#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (address and undefined-behaviour
# sanitizers, in build-fuzz/), replays each target's seed corpus, then fuzzes each for
# SECONDS (default 30). New inputs go to build-fuzz/corpus/, never into the repository;
# a crash, leak or hang (a render of a 96x64 picture over 5 minutes under the sanitizers)
# leaves its input in build-fuzz/ and fails the script.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/deps.sh --fuzz
cmake --preset fuzz
cmake --build --preset fuzz -j"$(nproc)" --target fuzz_render fuzz_controls fuzz_read
export ASAN_OPTIONS=allocator_may_return_null=1
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:fast_unwind_on_malloc=0:print_suppressions=0"
rm -f build-fuzz/crash-* build-fuzz/leak-* build-fuzz/timeout-* build-fuzz/oom-*
for target in fuzz_render fuzz_controls fuzz_read; do
  name=${target#fuzz_}
  seeds=fuzz/corpus/$name
  work=build-fuzz/corpus/$name
  mkdir -p "$work"
  dict=()
  [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
  echo "== $target: replaying $(ls "$seeds" | wc -l) seeds"
  build-fuzz/bin/$target "${dict[@]}" -runs=0 -artifact_prefix=build-fuzz/ "$seeds" 2>&1 | tail -n 2
  echo "== $target: fuzzing for $seconds s"
  build-fuzz/bin/$target "${dict[@]}" -max_total_time="$seconds" -timeout=300 -rss_limit_mb=4096 \
    -artifact_prefix=build-fuzz/ -print_final_stats=1 "$work" "$seeds" 2>&1 |
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)|ERROR|SUMMARY|Test unit written" || true
  # libFuzzer's exit status is lost in the pipe: a crash leaves its input behind.
  if [ -n "$(find build-fuzz -maxdepth 1 -name 'crash-*' -o -maxdepth 1 -name 'leak-*' \
             -o -maxdepth 1 -name 'timeout-*' -o -maxdepth 1 -name 'oom-*')" ]; then
    echo "FAIL: $target found an input that crashes, leaks or hangs (build-fuzz/)"
    exit 1
  fi
done
echo "The fuzz targets found nothing."
