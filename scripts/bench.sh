#!/usr/bin/env bash
# bench.sh: builds the optimised presets and runs every benchmark, each side
# by side with its floor in one run, on each Windows build this host can run
# (and natively). Prints the medians and ratios.
set -eu
cd "$(dirname "$0")/.."
export WINE32_STATUS WINE64_STATUS
WINE32_STATUS=$(scripts/wine.sh status win32)
WINE64_STATUS=$(scripts/wine.sh status win64)
data=build/bench-data
mkdir -p "$data"
config="Z:$(realpath "$data" | tr / '\\')\\config.rc"

scripts/build.sh native-release
for preset in win32 win64; do
  why=$(scripts/wine.sh status $preset)
  if [ "$why" != ok ]; then
    echo "== $preset: not run: $why"
    echo
    continue
  fi
  scripts/build.sh $preset
  wine=build/$preset/wine-run
  echo "== start-up and shutdown ($preset, Wine)"
  "$wine" build/$preset/bin/bench/bench_startup.exe "${STARTUP_ROUNDS:-51}"
  echo
  echo "== file reader ($preset, Wine)"
  "$wine" build/$preset/bin/bench_filereader.exe "$config" 9
  echo
  echo "== transparent stretch-blit ($preset, Wine)"
  "$wine" build/$preset/bin/bench_blit.exe 31 50
  echo
done
echo "== file reader (native)"
build/native-release/bin/bench_filereader "$data/config.rc" 9
