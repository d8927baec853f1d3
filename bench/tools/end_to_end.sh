#!/usr/bin/env bash
# End-to-end benchmark of `vendrix stabilize` on a 300-frame 1920 x 1080 handheld clip, against the open
# stabiliser vid.stab run through the ffmpeg program (detection pass + transformation pass).
#
# Both sides decode the clip in each pass and write nothing (`-f null` / `--format null`), so the
# comparison is decode + analysis + smoothing + warping; the level-4 road is timed against the detection
# pass alone. One more vendrix run encodes with x264 at the
# default settings to show the encode share. Wall seconds, medians of RUNS runs (default 3).
#
#   bench/tools/end_to_end.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
runs=${RUNS:-3}
vendrix="$build/vendrix"
work="$build/bench-data"
mkdir -p "$work"
clip="$work/handheld-1080p.mp4"
[[ -x "$vendrix" ]] || cmake --build "$build" --target vendrix_cli
[[ -f "$clip" ]] || "$vendrix" shake -q data/coffee.jpg "$clip" --size 1920x1080 --frames 300 --seed 11

calc() { awk "BEGIN { print $1 }"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
field() { sed -n "s/.*\"$1\": *\\([0-9.eE+-]*\\).*/\\1/p" "$2"; }
seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null 2>&1; end=$(date +%s.%N); calc "$end - $start"; }

declare -A samples
for ((i = 0; i < runs; i++)); do
  stats="$work/stats-$i.json"
  wall=$(seconds "$vendrix" stabilize -q "$clip" - --format null --stats "$stats")
  samples[wall]+="$wall "
  for k in decode analysis finishing render; do samples[$k]+="$(field ${k}_s "$stats") "; done
  samples[detect]+="$(seconds ffmpeg -v error -y -i "$clip" -vf vidstabdetect=result="$work/vidstab.trf" -f null -) "
  samples[transform]+="$(seconds ffmpeg -v error -y -i "$clip" -vf vidstabtransform=input="$work/vidstab.trf" -f null -) "
  samples[decodeonly]+="$(seconds ffmpeg -v error -y -i "$clip" -f null -) "
  # The block-matching road: decode and level-4 analysis (the analyze command also finishes, which is
  # counted apart), against vid.stab's detection pass, which decodes too.
  "$vendrix" analyze -q "$clip" "$work/level4.vxm" --analysis-level 4 --stats "$work/stats-l4-$i.json" >/dev/null 2>&1
  samples[l4]+="$(calc "$(field decode_s "$work/stats-l4-$i.json") + $(field analysis_s "$work/stats-l4-$i.json")") "
done
"$vendrix" stabilize -q "$clip" "$work/steady.mp4" --stats "$work/stats-encode.json"

m() { echo ${samples[$1]} | tr ' ' '\n' | grep . | median; }
ours=$(calc "$(m analysis) + $(m finishing) + $(m render)")
peer=$(calc "$(m detect) + $(m transform)")
peer_core=$(calc "$peer - 2 * $(m decodeonly)")
printf 'machine: %s cores; clip: 300 frames 1920x1080 (x264); medians of %s runs, wall seconds\n' "$(nproc)" "$runs"
printf 'vendrix stabilize (no output)   total %6.2f  = decode %.2f, analysis %.2f, finishing %.2f, render %.2f\n' \
  "$(m wall)" "$(m decode)" "$(m analysis)" "$(m finishing)" "$(m render)"
printf 'vendrix with x264 encode        encode %.2f (render %.2f while the encoder shares the cores)\n' \
  "$(field encode_s "$work/stats-encode.json")" "$(field render_s "$work/stats-encode.json")"
printf 'vid.stab via ffmpeg             total %6.2f  = detect %.2f + transform %.2f (decode alone %.2f per pass)\n' \
  "$peer" "$(m detect)" "$(m transform)" "$(m decodeonly)"
printf 'analysis + finishing + render: %.2f s, %.1f frames/s; vid.stab without its two decodes %.2f s\n' \
  "$ours" "$(calc "300 / $ours")" "$peer_core"
printf 'speed-up: %.2fx against vid.stab total, %.2fx against vid.stab without decoding (goal 3x)\n' \
  "$(calc "$peer / $ours")" "$(calc "$peer_core / $ours")"
printf 'level 4 (block matching) decode + analysis %.2f s against vid.stab detect %.2f s: %.2fx (goal 3x)\n' \
  "$(m l4)" "$(m detect)" "$(calc "$(m detect) / $(m l4)")"
