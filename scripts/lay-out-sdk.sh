# Sourced by the SDK's tests, with build, source and work set: sets preset,
# dist (where the sdk_layout fixture laid the SDK out as `make sdk` does,
# laid out now when a test runs on its own), sdk and the SDK's toolchain
# file for this bitness, and makes $work afresh (unless keep_work is set).
preset=$(basename "$build")
dist=$build/sdk-layout
[ -f "$dist/sdk-$preset/README.md" ] || "$source/scripts/sdk.sh" --preset "$preset" "$dist" >/dev/null
sdk=$dist/sdk-$preset
toolchain=$(ls "$sdk"/toolchain/mingw-[ix]*.cmake)
if [ -z "${keep_work:-}" ]; then
  rm -rf "$work"
  mkdir -p "$work"
fi
