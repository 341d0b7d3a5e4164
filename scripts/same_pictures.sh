#!/usr/bin/env bash
# Renders full-size scenarios with two builds of the module through the command and compares
# the files byte for byte: a change that must leave every picture as it was is checked with
#   scripts/same_pictures.sh OLD/Vizmira.so [NEW/Vizmira.so]    (float needs idiff: deps.sh --bench)
# (NEW defaults to build/bin/Vizmira.so), at 8 and 16 bits and at float. Exits 1 naming each
# scenario that differs.
set -euo pipefail
cd "$(dirname "$0")/.."
old=$(realpath "$1")
new=$(realpath "${2:-build/bin/Vizmira.so}")
cli=build/bin/vizmira
command -v idiff >/dev/null || { echo "scripts/same_pictures.sh needs idiff (scripts/deps.sh --bench)"; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cli" testcard "$work/card8.png" --size 1920x1080 --depth 8 >/dev/null
"$cli" testcard "$work/card16.png" --size 1920x1080 --depth 16 >/dev/null
"$cli" testcard "$work/card32.tif" --size 1920x1080 --depth 32 >/dev/null  # float, rendered at float
"$cli" testcard "$work/mask.png" --size 640x360 --depth 8 >/dev/null

# name|settings (the defaults where empty); 21 and 26 are the realistic blur's Amount and
# Use Lens as Blur Map, whose group's name holds two spaces.
scenarios=(
  "defaults|"
  "fast_map|Fast Blur/Use Lens as Blur Map=1 Feather=60"
  "fast_wide|Fast Blur/Amount=700"
  "fast_huge|Fast Blur/Amount=20000 Fast Blur/Use Lens as Blur Map=1 Feather=900"
  "iris_r9|Fast Blur/Visible=0 21=9 Iris Sides=4"
  "iris_r30|Fast Blur/Visible=0 21=30 Iris Roundness=40"
  "iris_map|21=20 26=1 Feather=70"
  "both_maps|Fast Blur/Use Lens as Blur Map=1 21=12 26=1 Feather=40"
  "distortion|Optical Distortion/Amount=120 Type=3 Scale=140"
  "trail|Trail/Amount=60 Fast Blur/Visible=0"
  "trail_offcentre|Trail/Amount=35 Trail/Center of the Lens=0 Trail/Center=300,900"
  "directional|Directional Blur/Amount=40 Directional Blur/Direction=30 Type=5 Rotation=25"
  "lightness_add|Lightness/Amount=-40 MODE=2 INTENSITY=70"
  "colour_screen|Color/Opacity=60 Color/Color=#3080FF MODE=3 Feather=120"
  "chroma_multiply|Chromatic Aberration/Red/Cyan=30 Chromatic Aberration/Blue/Yellow=60 MODE=4"
  "rect_tall|Type=4 Scale Width=60 Rotation=-45 Feather=200"
  "triangle|Type=5 Scale=150 Feather=30 Position=1500,200"
  "inverted|invert Alpha=1 Scale=70 Feather=50"
  "offpicture|Position=-300,-200 Scale=300 Feather=100"
  "none|Type=1 Lightness/Amount=30"
  "custom|Type=6 Placement=2 Feather=20"
  "everything|21=6 Optical Distortion/Amount=40 Trail/Amount=20 Directional Blur/Amount=12 Lightness/Amount=20 Color/Opacity=30 Chromatic Aberration/Green/Magenta=40 MODE=2 INTENSITY=80 Feather=50"
)

differ=0
count=0
for s in "${scenarios[@]}"; do
  name=${s%%|*}
  IFS=' ' read -r -a words <<<"${s#*|}"
  # Settings are KEY=VALUE words; a key holding spaces is rejoined up to its '='.
  sets=()
  pending=""
  for w in "${words[@]}"; do
    pending=${pending:+$pending }$w
    if [[ $pending == *=* ]]; then sets+=(--set "$pending"); pending=""; fi
  done
  extra=()
  [ "$name" = custom ] && extra=(--custom-layer "$work/mask.png")
  for depth in 8 16 32; do
    ext=png
    [ $depth = 32 ] && ext=tif
    for m in old new; do
      module=$old
      [ $m = new ] && module=$new
      "$cli" render "$work/card$depth.$ext" "$work/$name.$depth.$m.$ext" "${sets[@]}" "${extra[@]}" \
        --module "$module" >/dev/null 2>"$work/err" || { echo "$name: $(cat "$work/err")"; exit 2; }
    done
    count=$((count + 1))
    # A TIFF carries the time it was written: its pixels, exactly.
    same=(cmp -s)
    [ $ext = tif ] && same=(idiff -q -fail 0 -warn 0)
    if ! "${same[@]}" "$work/$name.$depth.old.$ext" "$work/$name.$depth.new.$ext" >/dev/null; then
      echo "DIFFERS: $name at $depth bits"
      differ=1
    fi
  done
done
[ $differ = 0 ] && echo "all $count pictures identical"
exit $differ
