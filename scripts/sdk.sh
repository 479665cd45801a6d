#!/usr/bin/env bash
# sdk.sh [--preset PRESET] [DIST]: builds what the SDK needs and lays out one
# SDK per bitness, DIST/sdk-win32 and DIST/sdk-win64 (default DIST: dist),
# each with its ZIP and the sample shell's MSI beside it; with --preset, only that one. Building needs
# no Wine, so both are made on any host. Writes nothing else outside build/.
set -eu
cd "$(dirname "$0")/.."
presets=(win32 win64)
if [ "${1:-}" = --preset ]; then
  presets=("$2")
  shift 2
fi
dist=$(realpath -m "${1:-dist}")
version=$(sed -n 's/^project(shell_startup VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

echo "== making ${#presets[@]} SDK$([ ${#presets[@]} = 1 ] || echo s): a few seconds each once built, about a minute each on a fresh build"
for preset in "${presets[@]}"; do
  scripts/build.sh "$preset" launcher shellwatch modutil componentcheck shellctl shellctl_action modutil_msvc_lib
  sdk=sdk-$preset
  echo "== laying out $dist/$sdk"
  rm -rf "${dist:?}/$sdk"
  mkdir -p "$dist"
  cmake --install "build/$preset" --prefix "$dist/$sdk" >/dev/null
  zip=shell-startup-sdk-$version-$preset.zip
  rm -f "$dist/$zip"
  (cd "$dist" && cmake -E tar cf "$zip" --format=zip "$sdk")
  echo "== SDK in $dist/$sdk, and as $dist/$zip"

  # The sample shell's package, made as an author makes one: against the SDK.
  sample=build/$preset/sample-msi
  rm -rf "$sample" # it may have been made against another DIST
  cmake -S "$dist/$sdk/sample" -B "$sample" -G Ninja --toolchain "$(ls "$dist/$sdk"/toolchain/mingw-[ix]*.cmake)" \
        -DCMAKE_PREFIX_PATH="$dist/$sdk" -DSAMPLE_INSTALLER=ON -DSAMPLE_VERSION="$version" >/dev/null
  cmake --build "$sample" -- --quiet
  cp "$sample/sample-shell-$version-$preset.msi" "$dist/"
  echo "== the sample shell's installer: $dist/sample-shell-$version-$preset.msi"
done
echo "== done in ${SECONDS} s"
