#!/usr/bin/env bash
# A shot through `vizmira render` against `oiiotool` copying the same frames, in one run:
#   bench/shot.sh [VIZMIRA [FRAMES [RUNS]]]      (scripts/deps.sh --bench installs oiiotool)
# Makes FRAMES (24) 1920x1080 frames of the test card with a lens moving across, as PNG and
# as half-float EXR, clean ("card": flat 8-bit levels, which compress far better than any
# rendered result) and with film grain as footage has it ("grain"), then times, RUNS (3)
# times each, alternating: oiiotool reading and writing every frame, and vizmira rendering
# them at the default controls. Prints the medians, their ratio, the output's total size and
# the peak memory of each run, and the disk path alone (our output frames read and written
# again with every treatment off: about the least a render that writes such frames can
# take, though they read a little slower than the frames the render reads).
# CONTENT="card" or "grain" times one kind only.
# Set BASELINE=path/to/another/vizmira to time it too, in the same rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
vizmira=$(realpath "${1:-build/bin/vizmira}")
frames=${2:-24}
runs=${3:-3}
command -v oiiotool >/dev/null || { echo "bench/shot.sh needs oiiotool (scripts/deps.sh --bench)"; exit 2; }
[ -x /usr/bin/time ] || { echo "bench/shot.sh needs /usr/bin/time (scripts/deps.sh --bench)"; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$vizmira" testcard card.png --size 1920x1080
"$vizmira" render card.png "in.####.png" --frames "1-$frames" --set "Fast Blur/Visible=off" \
  --set "Position=20%,50%@1,80%,50%@$frames" --set "Lightness/Amount=20" >/dev/null
oiiotool --frames "1-$frames" "in.#.png" -d half -o "card.#.exr" >/dev/null
oiiotool --frames "1-$frames" "in.#.png" -o "card.#.png" >/dev/null
oiiotool --frames "1-$frames" "in.#.png" --noise:type=gaussian:stddev=0.02 -o "grain.#.png" >/dev/null
oiiotool --frames "1-$frames" "grain.#.png" -d half --noise:type=gaussian:stddev=0.005:seed=2 \
  -o "grain.#.exr" >/dev/null

# Runs a command under /usr/bin/time: "SECONDS PEAK_KIB".
measure() {
  /usr/bin/time -f "%e %M" -o time.txt "$@" >/dev/null 2>&1
  cat time.txt
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

printf "%-12s %-18s %10s %10s %12s %10s\n" frames "what" seconds "× oiiotool" bytes "peak MiB"
for content in ${CONTENT:-card grain}; do
for ext in png exr; do
  : > copy.txt; : > ours.txt; : > base.txt; : > alone.txt
  for ((r = 0; r < runs; r++)); do
    rm -rf copy ours base alone
    mkdir copy ours base alone
    measure oiiotool --frames "1-$frames" "$content.#.$ext" -o "copy/out.#.$ext" >> copy.txt
    measure "$vizmira" render "$content.####.$ext" "ours/out.####.$ext" --frames "1-$frames" >> ours.txt
    # The disk path alone: our own frames through with every treatment off, which reads
    # and writes pictures like the ones the effect writes, and renders nothing.
    measure "$vizmira" render "ours/out.####.$ext" "alone/out.####.$ext" --frames "1-$frames" \
      --set Type=None --set "Fast Blur/Visible=off" >> alone.txt
    if [ -n "${BASELINE:-}" ]; then
      measure "$BASELINE" render "$content.####.$ext" "base/out.####.$ext" --frames "1-$frames" >> base.txt
    fi
  done
  copy=$(cut -d' ' -f1 copy.txt | median)
  row() {
    local name=$1 what=$2
    local t m
    t=$(cut -d' ' -f1 "$what.txt" | median)
    m=$(cut -d' ' -f2 "$what.txt" | median)
    awk -v ext="$content $ext" -v name="$name" -v t="$t" -v c="$copy" -v b="$(cat "$what"/* | wc -c)" -v m="$m" \
      'BEGIN { printf "%-12s %-18s %10.2f %10.2f %12d %10.0f\n", ext, name, t, t / c, b, m / 1024 }'
  }
  row "oiiotool copy" copy
  row "vizmira render" ours
  row "disk path alone" alone
  if [ -n "${BASELINE:-}" ]; then
    row "baseline render" base
    for f in ours/*; do
      # PNG byte for byte; an EXR carries the time it was written, so its pixels.
      if [ "$ext" = png ]; then same=(cmp -s); else same=(idiff -q -a); fi
      "${same[@]}" "$f" "base/${f#ours/}" >/dev/null || { echo "$f differs from the baseline's"; exit 1; }
    done
  fi
done
done
