# Sourced by the SDK's tests, with build, source and work set: lays the SDK
# out afresh under $work as `make sdk` does, and sets preset, sdk and the
# SDK's toolchain file for this bitness.
preset=$(basename "$build")
rm -rf "$work"
mkdir -p "$work"
"$source/scripts/sdk.sh" --preset "$preset" "$work/dist" >/dev/null
sdk=$work/dist/sdk-$preset
toolchain=$(ls "$sdk"/toolchain/mingw-[ix]*.cmake)
