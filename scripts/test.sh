#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh             the normal build, in build/
#   scripts/test.sh --sanitize  with address and undefined-behaviour sanitizers, in build-san/
#   scripts/test.sh --tsan      the threaded tests with the thread sanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --browser
dir=build
args=(-DCMAKE_BUILD_TYPE=Release)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-san
  # Not the Python module: an interpreter not built with the sanitizers cannot load it.
  args=(-DCMAKE_BUILD_TYPE=Debug -DVIZMIRA_SANITIZE=ON -DVIZMIRA_BENCH=OFF -DVIZMIRA_PYTHON=OFF)
  # Allocations that cannot be had must fail as they do without the sanitizer. Whole stacks
  # for leaks, so that the suppressions (each with its reason) can name the library.
  export ASAN_OPTIONS=allocator_may_return_null=1
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:fast_unwind_on_malloc=0:print_suppressions=0"
fi
select=()
targets=()
if [ "${1:-}" = "--tsan" ]; then
  # The tests whose work runs on several threads: our host's iterate, renders at several
  # thread counts, two renders at once. Not the command's tests: the image library it opens
  # is not built with the sanitizer, and its own thread pool would be reported falsely.
  dir=build-tsan
  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIZMIRA_TSAN=ON -DVIZMIRA_BENCH=OFF -DVIZMIRA_PYTHON=OFF)
  select=(-R 'Thread|AtOnce|Iterate\.|BlurMapForm|BandsEqual|Engine\.' -E '^Cli\.')
  targets=(--target vizmira_tests)
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
fi
cmake -S . -B "$dir" "${args[@]}"
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure "${select[@]}"
