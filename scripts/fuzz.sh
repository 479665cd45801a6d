#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the native preset and runs every fuzz target for
# SECONDS each (default 600), keeping its corpus under build/native/fuzz/corpus.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
cmake --preset native >/dev/null
cmake --build --preset native -j "$(nproc)"
cd build/native/fuzz
for target in fuzz_*; do
  [ -x "$target" ] || continue
  echo "== $target for ${seconds}s"
  mkdir -p "corpus/$target"
  "./$target" -max_total_time="$seconds" -max_len=8192 "corpus/$target"
done
