#!/usr/bin/env bash
# bench.sh: builds the optimised presets and runs every benchmark, each side
# by side with its floor in one run. Prints the medians and ratios.
set -eu
cd "$(dirname "$0")/.."
for preset in win32 native-release; do
  scripts/build.sh $preset
done
data=build/bench-data
mkdir -p "$data"
wine=build/win32/wine-run

echo "== start-up and shutdown (Wine)"
"$wine" build/win32/bin/bench/bench_startup.exe "${STARTUP_ROUNDS:-51}"
echo
echo "== file reader (Wine)"
"$wine" build/win32/bin/bench_filereader.exe "Z:$(realpath "$data" | tr / '\\')\\config.rc" 9
echo
echo "== file reader (native)"
build/native-release/bin/bench_filereader "$data/config.rc" 9
echo
echo "== transparent stretch-blit (Wine)"
"$wine" build/win32/bin/bench_blit.exe 31 50
