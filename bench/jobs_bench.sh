#!/usr/bin/env bash
# Profile mode batch: four clips converted with --jobs 2 against --jobs 1, on
# one format profile (default 202, MPEG-4 in MP4). Prints the median wall time
# of RUNS runs of each and the speed-up.
#   bench/jobs_bench.sh            BUILD=build-jobs FORMAT=203 RUNS=5 bench/jobs_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
RUNS=${RUNS:-3}
FORMAT=${FORMAT:-202}
cli=$BUILD/src/cli/tolvane-convert
[ -x "$cli" ] || scripts/build
mkdir -p bench/data
clips=()
for i in 1 2 3 4; do
  clip=bench/data/batch$i.mp4
  [ -f "$clip" ] || "$BUILD"/tests/fixtures/make_fixtures --long 20 --size 640x480 --fps 25 --keyint 50 --out "$clip" >&2
  clips+=("$clip")
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Median wall time of RUNS batches with N jobs; the settings stay untouched.
measure() {
  local jobs=$1
  for _ in $(seq "$RUNS"); do
    rm -rf "$work/out" && mkdir -p "$work/out"
    local start end
    start=$(date +%s.%N)
    TOLVANE_CONFIG_DIR="$work/config" "$cli" --format "$FORMAT" --jobs "$jobs" --output-dir "$work/out" \
      --progress none "${clips[@]}" >/dev/null 2>&1
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
  done | sort -n | awk '{t[NR]=$1} END {print t[int((NR+1)/2)]}'
}

one=$(measure 1)
two=$(measure 2)
printf '{"format":%s,"files":4,"runs":%d,"jobs1_s":%.2f,"jobs2_s":%.2f,"speedup":%.2f,"cores":%d}\n' \
  "$FORMAT" "$RUNS" "$one" "$two" "$(echo "$one / $two" | bc -l)" "$(nproc)"
