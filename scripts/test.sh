#!/usr/bin/env bash
# test.sh PRESET: runs PRESET's tests (built already) and prints one line
# per result, the output of any test that fails, and the summary.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1
case $preset in
  win32 | win64)
    prefix=build/$preset/wineprefix
    if [ ! -f "$prefix/.ready" ]; then
      echo "== preparing the Wine prefix for $preset (the first time: under a minute)"
      scripts/wine-prefix.sh "$prefix" "$preset"
    fi ;;
esac
echo "== testing $preset"
ctest --preset "$preset" -j "$(nproc)" 2>&1 | grep -vE '^( +Start +[0-9]+: |Test project )'
