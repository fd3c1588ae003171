#!/usr/bin/env bash
# Picture effects: the passes per 1920x1080 picture (target: colour + exposure
# at least 150 pictures/s on one core), then a 1280x720 conversion with all
# effects and two watermarks against the hook alone (target ratio <= 1.3).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build}
[ -x "$build/bench/effects_bench" ] || scripts/build
input=bench/data/clip720p25_10s.mp4
if [ ! -f "$input" ]; then
  mkdir -p bench/data
  "$build/tests/fixtures/make_fixtures" --long 10 --size 1280x720 --fps 25 --keyint 50 --out "$input" >&2
fi
taskset -c 0 "$build/bench/effects_bench" --benchmark_min_time=0.5
taskset -c 0 "$build/bench/effects_bench" --convert "$input" "${RUNS:-3}" ${SIMD:-}
