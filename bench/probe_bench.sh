#!/usr/bin/env bash
# Describing a large file: `tolvane-convert --info` against `ffprobe` on the
# same file. Prints the median wall time of each over RUNS runs and the ratio.
#   bench/probe_bench.sh [FILE]      (default: makes bench/data/big.mkv, ~1 GB)
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS=${RUNS:-7}
cli=build/src/cli/tolvane-convert
[ -x "$cli" ] || scripts/build
file=${1:-bench/data/big.mkv}
if [ ! -f "$file" ]; then
  mkdir -p "$(dirname "$file")"
  echo "making $file (lossless 720p H.264 + AAC, about 1 GB) ..." >&2
  ffmpeg -v error -y -f lavfi -i "testsrc2=size=1280x720:rate=30" \
    -f lavfi -i "sine=frequency=440:sample_rate=44100" -t 20 -vf "noise=alls=60:allf=t" \
    -c:v libx264 -preset ultrafast -qp 0 -c:a aac "$file.part.mkv"
  mv "$file.part.mkv" "$file"
fi
ls -l "$file" >&2

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
time_runs() {
  for _ in $(seq "$RUNS"); do
    s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N)
    echo "$e - $s" | bc -l
  done | median
}
# Warm the page cache so both read from memory.
cat "$file" >/dev/null
ours=$(time_runs "$cli" --info "$file")
ref=$(time_runs ffprobe -hide_banner "$file")
printf '{"file":"%s","runs":%d,"tolvane_info_s":%.4f,"ffprobe_s":%.4f,"ratio":%.3f}\n' \
  "$file" "$RUNS" "$ours" "$ref" "$(echo "$ours / $ref" | bc -l)"
