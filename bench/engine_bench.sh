#!/usr/bin/env bash
# tolvane-convert raw mode against the ffmpeg program on the same input with
# the same encoder settings (both with automatic codec threads). Prints, per
# case, the median wall time and peak memory of RUNS runs and the ratios.
#   bench/engine_bench.sh            (input: bench/data/clip60.mp4, made if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${RUNS:-5}
cli=build/src/cli/tolvane-convert
[ -x "$cli" ] || scripts/build
input=bench/data/clip60.mp4
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
if [ ! -f "$input" ]; then
  mkdir -p bench/data
  build/tests/fixtures/make_fixtures --long 60 --size 1280x720 --fps 30 --keyint 60 --out "$input" >&2
fi

# Runs a command RUNS times; prints "median_seconds max_rss_kb".
measure() {
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f "%e %M" -o "$out/t" "$@" >/dev/null 2>&1
    cat "$out/t"
  done | sort -n | awk '{t[NR]=$1; if ($2>m) m=$2} END {print t[int((NR+1)/2)], m}'
}

run_case() {
  local name=$1 ext=$2; shift 2
  local ours=() ref=() in_ref=0
  for a in "$@"; do
    if [ "$a" = "--" ]; then in_ref=1; continue; fi
    if [ $in_ref = 0 ]; then ours+=("$a"); else ref+=("$a"); fi
  done
  read -r ot om < <(measure "$cli" --input "$input" --output "$out/ours.$ext" "${ours[@]}" --progress none)
  read -r rt rm < <(measure ffmpeg -v error -y -i "$input" "${ref[@]}" "$out/ref.$ext")
  printf '{"case":"%s","runs":%d,"tolvane_s":%s,"ffmpeg_s":%s,"time_ratio":%.3f,"tolvane_rss_kb":%s,"ffmpeg_rss_kb":%s,"rss_ratio":%.3f}\n' \
    "$name" "$RUNS" "$ot" "$rt" "$(echo "$ot / $rt" | bc -l)" "$om" "$rm" "$(echo "$om / $rm" | bc -l)"
}

run_case mpeg4_2M_aac mp4 --opt vcodec=mpeg4 --opt b=2M --opt acodec=aac --opt ab=128k \
  -- -c:v mpeg4 -b:v 2M -c:a aac -b:a 128k
run_case x264_medium_aac mp4 --opt vcodec=libx264 --opt preset=medium --opt acodec=aac --opt ab=128k \
  -- -c:v libx264 -preset medium -c:a aac -b:a 128k
run_case copy_mkv mkv --opt vcodec=copy --opt acodec=copy -- -c copy
build/bench/engine_parallel "$input"
