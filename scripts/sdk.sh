#!/usr/bin/env bash
# sdk.sh [--preset PRESET] [DIST]: builds what the SDK needs and lays it out
# in DIST/sdk (default: dist/sdk, from the win32 preset), with its ZIP
# beside it. Writes nothing else outside build/.
set -eu
cd "$(dirname "$0")/.."
preset=win32
if [ "${1:-}" = --preset ]; then
  preset=$2
  shift 2
fi
dist=$(realpath -m "${1:-dist}")

scripts/build.sh "$preset" launcher modutil componentcheck modutil_msvc_lib
echo "== laying out $dist/sdk"
rm -rf "$dist/sdk"
mkdir -p "$dist"
cmake --install "build/$preset" --prefix "$dist/sdk" >/dev/null

version=$(sed -n 's/^project(shell_startup VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
zip=shell-startup-sdk-$version-$preset.zip
rm -f "$dist/$zip"
(cd "$dist" && cmake -E tar cf "$zip" --format=zip sdk)
echo "== SDK in $dist/sdk, and as $dist/$zip"
