#!/usr/bin/env bash
# The hook and preview paths on a 1280x720 25 fps conversion (see hook_bench.cpp).
# RUNS=n rounds; SIMD=0..3 caps the colour conversions (0 scalar, 2 AVX2).
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/bench/hook_bench ] || scripts/build
input=bench/data/clip720p25.mp4
if [ ! -f "$input" ]; then
  mkdir -p bench/data
  build/tests/fixtures/make_fixtures --long 20 --size 1280x720 --fps 25 --keyint 50 --out "$input" >&2
fi
build/bench/hook_bench "$input" "${RUNS:-5}" ${SIMD:-}
