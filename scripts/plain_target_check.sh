#!/usr/bin/env bash
# Compiles the effect's sources, syntax only, for a 64-bit ARM target, where no wide vector
# form is compiled: every choice of form must stand without them. There is no ARM sysroot
# here, so this machine's headers stand in, told they are 64-bit ones.
#   scripts/plain_target_check.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "$1")
fake=$build/plain-target-headers
mkdir -p "$fake/gnu" "$fake/bits"
: >"$fake/gnu/stubs-32.h"
printf '#define __WORDSIZE 64\n#define __WORDSIZE_TIME64_COMPAT32 1\n#define __SYSCALL_WORDSIZE 64\n' \
  >"$fake/bits/wordsize.h"
gxx=$(ls -d /usr/include/c++/* | sort -V | tail -n 1)
arch=/usr/include/x86_64-linux-gnu
status=0
for f in $(find sdk services params core blur color render host -name '*.cpp' | sort); do
  if ! clang++ --target=aarch64-linux-gnu -fsyntax-only -std=c++17 -Wall -Wextra -Werror \
      -I"$build/layers/host" -Isdk -nostdinc++ -isystem "$gxx" -isystem "$arch/c++/${gxx##*/}" \
      -isystem "$fake" -isystem /usr/include -isystem "$arch" "$f"; then
    echo "FAIL: $f"
    status=1
  fi
done
exit $status
