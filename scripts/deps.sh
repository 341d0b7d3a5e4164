#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, if any is missing.
#   scripts/deps.sh            the Linux build, tests and benchmarks (clang: the Mac layout checks)
#   scripts/deps.sh --windows  the Windows cross-build and Wine for its smoke render
#   scripts/deps.sh --fuzz     the Linux build plus clang's libFuzzer and sanitizer runtimes
#   scripts/deps.sh --bench    the Linux build plus OpenCV, the benchmarks' reference, and oiiotool
#                              and GNU time for bench/shot.sh
#   scripts/deps.sh --browser  the Linux build plus Chromium, Node.js and the browser test's
#                              npm packages (tests/browser)
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(cmake make g++ clang pkg-config binutils libopenimageio-dev nlohmann-json3-dev
          libcpp-httplib-dev libcli11-dev libgtest-dev libbenchmark-dev
          pybind11-dev python3-dev python3-numpy python3-pytest python3-openimageio)
if [ "${1:-}" = "--windows" ]; then
  packages=(cmake make g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64)
elif [ "${1:-}" = "--fuzz" ]; then
  packages+=(libclang-rt-14-dev)
elif [ "${1:-}" = "--bench" ]; then
  packages+=(libopencv-dev openimageio-tools time)
elif [ "${1:-}" = "--browser" ]; then
  packages+=(chromium)
  # Node.js from Debian unless the machine has one already (another vendor's package
  # would clash with Debian's npm).
  command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ "${1:-}" = "--browser" ] && [ ! -d tests/browser/node_modules/puppeteer-core ]; then
  echo "Installing the browser test's npm packages"
  npm ci --prefix tests/browser --no-audit --no-fund --loglevel=error
fi
