#!/usr/bin/env bash
# fuzz.sh [SECONDS]: builds the native preset and runs every fuzz target for
# SECONDS each (default 600), keeping its corpus under build/native/fuzz/corpus
# (the same corpus the short CTest runs grow).
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
scripts/build.sh native
corpus=build/native/fuzz/corpus
for target in build/native/bin/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  echo "== $name for ${seconds}s"
  mkdir -p "$corpus/$name"
  "$target" -max_total_time="$seconds" -max_len=8192 "$corpus/$name"
done
