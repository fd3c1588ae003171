#!/usr/bin/env bash
# The player playing a 60 s 1280x720 30 fps H.264 + AAC file (2 s key-frame
# interval) into the in-memory display with SDL's dummy sound driver, and the
# CPU time of the ffmpeg program decoding the same file as the floor.
#   bench/player_bench.sh [FILE] [SECONDS]   (input: bench/data/clip60.mp4, made if missing)
# BUILD_DIR picks the build folder (default build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
bench=$build/bench/player_bench
[ -x "$bench" ] || { [ "$build" = build ] && scripts/build || ninja -C "$build" player_bench make_fixtures; }
input=${1:-bench/data/clip60.mp4}
seconds=${2:-60}
if [ ! -f "$input" ]; then
  mkdir -p "$(dirname "$input")"
  "$build/tests/fixtures/make_fixtures" --long 60 --size 1280x720 --fps 30 --keyint 60 --out "$input" >&2
fi
cat "$input" >/dev/null  # both read from the page cache

player=$(SDL_AUDIODRIVER=dummy "$bench" "$input" --seconds "$seconds")
# The floor: user + system CPU seconds to decode the whole file, per second of it.
read -r user sys < <(/usr/bin/time -f "%U %S" ffmpeg -v error -nostdin -i "$input" -f null - 2>&1 >/dev/null | tail -1)
duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$input")
floor=$(echo "($user + $sys) / $duration" | bc -l)
ours=$(echo "$player" | sed -n 's/.*"cpu_s_per_s":\([0-9.]*\).*/\1/p')
printf '%s\n' "${player%\}},\"ffmpeg_null_cpu_s_per_s\":$(printf '%.4f' "$floor"),\"cpu_ratio_to_floor\":$(printf '%.2f' "$(echo "$ours / $floor" | bc -l)")}"
