#!/usr/bin/env bash
# Installs what is missing, builds, and renders the demo picture into build/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$(nproc)" --target vizmira
mkdir -p build/demo
build/bin/vizmira testcard build/demo/testcard.png --size 1280x720
build/bin/vizmira render build/demo/testcard.png build/demo/vizmira-demo.png \
  --set Type=Triangle --set Feather=40 --set Scale=140 --set MODE=Screen \
  --set "Lightness/Amount=25" --set "Color/Opacity=15" --set "Color/Color=#3050FF" \
  --set "Red/Cyan=30" --set "Blue/Yellow=15"
echo "Wrote build/demo/vizmira-demo.png (from build/demo/testcard.png)"
