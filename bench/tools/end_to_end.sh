#!/usr/bin/env bash
# End-to-end speed of `vendrix stabilize` against the open stabiliser vid.stab (through the ffmpeg
# program: its detection pass, then its transformation pass), on 300-frame handheld clips made by
# `vendrix shake`: a textured and a plain (blurred) picture at 640x480, 1280x720 and 1920x1080.
#
# Every method decodes its input and encodes with x264 ultrafast at CRF 12, so the runs compare like
# with like; decoding + encoding alone is timed too and taken off both sides for the "work" ratios.
# Wall seconds, medians of RUNS runs (default 3), and the goals next to each ratio:
#   work   = our analysis + finishing + render  against vid.stab's two passes less their decode / encode
#   whole  = our whole run                      against vid.stab's two passes
#   detect = vid.stab's detection pass          against our decode + level-9 analysis (and level 4)
#   render = milliseconds per 1080p frame the render pass spends on rendering: wall, as the command's
#            statistics time it (the encoder's threads compete for the cores meanwhile), and CPU, as
#            the CPU time of `vendrix render --format null` less that of decoding the clip alone
# Peak memory while rendering is compared between the 720p textured clip and one three times as long.
#
#   bench/tools/end_to_end.sh [build-dir]        CLIPS="textured-480 plain-1080" limits the clips
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
runs=${RUNS:-3}
vendrix="$build/vendrix"
work="$build/bench-data"
mkdir -p "$work"
[[ -x "$vendrix" ]] || cmake --build "$build" --target vendrix_cli

# The same encoder settings for everybody.
x264=(-c:v libx264 -preset ultrafast -crf 12)

calc() { awk "BEGIN { print $1 }"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
field() { sed -n "s/.*\"$1\": *\\([0-9.eE+-]*\\).*/\\1/p" "$2"; }
seconds() { local start end; start=$(date +%s.%N); "$@" >/dev/null 2>&1; end=$(date +%s.%N); calc "$end - $start"; }
cpu_seconds() { /usr/bin/time -f '%U %S' -o "$work/cpu.txt" "$@" >/dev/null 2>&1; awk '{ print $1 + $2 }' "$work/cpu.txt"; }
verdict() { awk "BEGIN { print ($1) ? \"ok\" : \"MISSED\" }"; }

plain_still="$work/plain.png"
[[ -f "$plain_still" ]] || ffmpeg -v error -y -i data/coffee.jpg -vf gblur=sigma=12 "$plain_still"

clip_of() {  # kind-height -> path, made on first use
  local kind=${1%-*} height=${1#*-} size still=data/coffee.jpg
  case $height in 480) size=640x480 ;; 720) size=1280x720 ;; 1080) size=1920x1080 ;; esac
  [[ $kind == plain ]] && still=$plain_still
  local clip="$work/$kind-$height.mp4"
  [[ -f "$clip" ]] || "$vendrix" shake -q "$still" "$clip" --size "$size" --frames "${2:-300}" --seed 11
  echo "$clip"
}

printf 'machine: %s cores; 300-frame clips; x264 ultrafast CRF 12 everywhere; medians of %s runs, wall seconds\n\n' \
  "$(nproc)" "$runs"
printf '| clip | dec+enc | vid.stab (detect) | vendrix (decode / analysis / finishing / render / encode) | work | whole | detect | level 4 | render ms/frame (wall / CPU) |\n'
printf '|---|---:|---:|---|---:|---:|---:|---:|---:|\n'
for name in ${CLIPS:-textured-480 plain-480 textured-720 plain-720 textured-1080 plain-1080}; do
  clip=$(clip_of "$name")
  declare -A s=()
  for ((i = 0; i < runs; i++)); do
    stats="$work/stats-$name-$i.json"
    s[wall]+="$(seconds "$vendrix" stabilize -q "$clip" "$work/out-vendrix.mp4" --preset ultrafast --crf 12 --stats "$stats" \
      --save-motion "$work/level9.vxm") "
    s[rendercpu]+="$(calc "$(cpu_seconds "$vendrix" render -q "$clip" "$work/level9.vxm" - --format null) - \
      $(cpu_seconds ffmpeg -v error -i "$clip" -f null -)") "
    for k in decode analysis finishing render encode; do s[$k]+="$(field ${k}_s "$stats") "; done
    s[detect]+="$(seconds ffmpeg -v error -y -i "$clip" -vf vidstabdetect=result="$work/vidstab.trf" -f null -) "
    s[transform]+="$(seconds ffmpeg -v error -y -i "$clip" -vf vidstabtransform=input="$work/vidstab.trf" "${x264[@]}" "$work/out-vidstab.mp4") "
    s[copy]+="$(seconds ffmpeg -v error -y -i "$clip" "${x264[@]}" "$work/out-copy.mp4") "
    s[decodeonly]+="$(seconds ffmpeg -v error -y -i "$clip" -f null -) "
    # The block-matching road: decode and level-4 analysis (analyze also finishes, counted apart).
    "$vendrix" analyze -q "$clip" "$work/level4.vxm" --analysis-level 4 --stats "$work/stats-l4.json" >/dev/null 2>&1
    s[l4]+="$(calc "$(field decode_s "$work/stats-l4.json") + $(field analysis_s "$work/stats-l4.json")") "
  done
  m() { echo ${s[$1]} | tr ' ' '\n' | grep . | median; }
  frames=300
  ours_work=$(calc "$(m analysis) + $(m finishing) + $(m render)")
  encode_only=$(calc "$(m copy) - $(m decodeonly)")
  peer=$(calc "$(m detect) + $(m transform)")
  peer_work=$(calc "$peer - 2 * $(m decodeonly) - $encode_only")
  whole_goal=$([[ $name == *-1080 ]] && echo 3 || echo 2)
  work_ratio=$(calc "$peer_work / $ours_work")
  whole_ratio=$(calc "$peer / $(m wall)")
  detect_ratio=$(calc "$(m detect) / ($(m decode) + $(m analysis))")
  l4_ratio=$(calc "$(m detect) / $(m l4)")
  render_ms=$(calc "1000 * $(m render) / $frames")
  render_cpu_ms=$(calc "1000 * $(m rendercpu) / $frames")
  printf '| %s | %.2f | %.2f (%.2f) | %.2f (%.2f / %.2f / %.2f / %.2f / %.2f) | %.2fx %s | %.2fx %s | %.2fx %s | %.2fx %s | %.1f / %.1f %s |\n' \
    "$name" "$(m copy)" "$peer" "$(m detect)" "$(m wall)" "$(m decode)" "$(m analysis)" "$(m finishing)" "$(m render)" \
    "$(m encode)" "$work_ratio" "$(verdict "$work_ratio >= 3")" "$whole_ratio" "$(verdict "$whole_ratio >= $whole_goal")" \
    "$detect_ratio" "$(verdict "$detect_ratio >= 3")" "$l4_ratio" "$(verdict "$l4_ratio >= 3")" "$render_ms" \
    "$render_cpu_ms" "$([[ $name == *-1080 ]] && verdict "$render_cpu_ms <= 5" || echo)"
  unset s
done
printf '\ngoals: work >= 3x, whole >= 2x (3x at 1080p), detect >= 3x (level 9 and level 4), render <= 5 ms of CPU per 1080p frame\n'

# Peak memory of the render pass: the same picture, 300 and 900 frames.
short=$(clip_of textured-720)
long="$work/textured-720-long.mp4"
[[ -f "$long" ]] || "$vendrix" shake -q data/coffee.jpg "$long" --size 1280x720 --frames 900 --seed 11
for c in "$short" "$long"; do
  "$vendrix" analyze -q "$c" "$work/peak.vxm" >/dev/null 2>&1
  /usr/bin/time -f '%M' -o "$work/peak.txt" "$vendrix" render -q "$c" "$work/peak.vxm" - --format null >/dev/null 2>&1
  printf 'render pass peak RSS, %s: %s MiB\n' "$(basename "$c")" "$(calc "$(cat "$work/peak.txt") / 1024")"
done
