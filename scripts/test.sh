#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh             the normal build, in build/
#   scripts/test.sh --sanitize  with address and undefined-behaviour sanitizers, in build-san/
#   scripts/test.sh --tsan      the threaded tests with the thread sanitizer, in build-tsan/
# (the CMake presets default, sanitize and tsan).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --browser
preset=default
select=()
targets=()
if [ "${1:-}" = "--sanitize" ]; then
  preset=sanitize
  # Allocations that cannot be had must fail as they do without the sanitizer. Whole stacks
  # for leaks, so that the suppressions (each with its reason) can name the library.
  export ASAN_OPTIONS=allocator_may_return_null=1
  export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:fast_unwind_on_malloc=0:print_suppressions=0"
fi
if [ "${1:-}" = "--tsan" ]; then
  # The unit tests whose work runs on several threads (label threaded): our host's iterate,
  # renders at several thread counts, two renders at once. Not the command's tests: the
  # image library it opens is not built with the sanitizer, and its own thread pool would
  # be reported falsely.
  preset=tsan
  select=(-L threaded)
  targets=(--target vizmira_unit_tests)
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp"
fi
# Warnings are errors here (and so in CI).
cmake --preset "$preset" -DVIZMIRA_WERROR=ON
cmake --build --preset "$preset" -j"$(nproc)" "${targets[@]}"
ctest --preset "$preset" -j"$(nproc)" --output-on-failure "${select[@]}"
