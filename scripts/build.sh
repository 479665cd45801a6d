#!/usr/bin/env bash
# build.sh PRESET [TARGET...]: configures PRESET once and builds it (or the
# given targets) with Ninja, quietly: only warnings and errors are shown.
set -eu
cd "$(dirname "$0")/.."
preset=$1
shift
dir=build/$preset

# A directory configured with another generator, or with toolchain files
# that have changed since (the compiler's flags are only taken at the first
# configuration), is configured afresh.
toolchain=$(cat cmake/mingw-*.cmake | sha1sum | cut -d' ' -f1)
if [ -f "$dir/CMakeCache.txt" ] && { ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$dir/CMakeCache.txt" ||
                                    [ "$(cat "$dir/.toolchain" 2>/dev/null)" != "$toolchain" ]; }; then
  rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
fi
if [ -f "$dir/.ninja_log" ]; then
  echo "== building $preset"
else
  echo "== building $preset (the first time: about a minute)"
fi
if [ ! -f "$dir/CMakeCache.txt" ] || [ ! -f "$dir/build.ninja" ]; then
  log=$(mktemp)
  cmake --preset "$preset" >"$log" 2>&1 || { cat "$log"; rm -f "$log"; exit 1; }
  rm -f "$log"
  echo "$toolchain" >"$dir/.toolchain"
fi
targets=()
for target in "$@"; do targets+=(--target "$target"); done
# A build after a CMakeLists.txt changed configures again: its "-- " status
# lines are not shown either, nor Ninja's word that nothing needed building.
set -o pipefail
cmake --build --preset "$preset" -j "$(nproc)" "${targets[@]}" -- --quiet 2>&1 |
  { grep -vE '^-- |^ninja: no work to do\.$' || true; }
