#!/usr/bin/env bash
# Cross-builds VizmiraCC_CS6.aex, checks its exports, imports and property list, and renders
# the smoke picture with it under Wine: the checksums must equal the Linux module's.
# Expects the Linux build in build/ (scripts/test.sh makes it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --windows
cmake --preset windows-x64
cmake --build --preset windows-x64 -j"$(nproc)"  # fails if the module check fails
aex=build-windows/bin/VizmiraCC_CS6.aex
x86_64-w64-mingw32-objdump -p "$aex" | grep -E 'DLL Name:|^\s+\[ *[0-9]+\] [A-Za-z_]' || true

[ -x build/bin/vizmira_smoke ] || cmake --build build --target vizmira_smoke
linux=$(build/bin/vizmira_smoke build/bin/Vizmira.so)
echo "Linux:   $(echo "$linux" | tr '\n' ' ')"

wine=$(command -v wine64 || true)
[ -n "$wine" ] || [ ! -x /usr/lib/wine/wine64 ] || wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then
  echo "Wine is not available: the smoke render under Windows was skipped."
  exit 0
fi
set +e
windows=$(cd build-windows/bin && WINEDEBUG=-all timeout 600 "$wine" vizmira_smoke.exe VizmiraCC_CS6.aex 2>/dev/null | tr -d '\r')
status=$?
set -e
if [ $status -eq 124 ]; then
  echo "Wine did not finish within 10 minutes: the smoke render under Windows was skipped."
  exit 0
fi
echo "Windows: $(echo "$windows" | tr '\n' ' ')"
if [ $status -ne 0 ] || [ "$windows" != "$linux" ]; then
  echo "FAIL: the Windows module's smoke render differs from the Linux module's (status $status)."
  exit 1
fi
echo "The Windows module renders the same pictures as the Linux module."
