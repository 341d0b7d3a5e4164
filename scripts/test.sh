#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh             the normal build, in build/
#   scripts/test.sh --sanitize  with address and undefined-behaviour sanitizers, in build-san/
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
dir=build
args=(-DCMAKE_BUILD_TYPE=Release)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-san
  args=(-DCMAKE_BUILD_TYPE=Debug -DVIZMIRA_SANITIZE=ON -DVIZMIRA_BENCH=OFF)
  # Allocations that cannot be had must fail as they do without the sanitizer.
  export ASAN_OPTIONS=allocator_may_return_null=1
fi
cmake -S . -B "$dir" "${args[@]}"
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" -j"$(nproc)" --output-on-failure
