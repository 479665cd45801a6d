#!/usr/bin/env bash
# test-sdk.sh BUILD_DIR SOURCE_DIR TOOLCHAIN OBJDUMP
# Installs the SDK from BUILD_DIR, checks its layout, builds the sample
# components against it outside the project's tree with find_package(modutil),
# checks their exports, and makes the ZIP with cpack.
set -eu
build=$1 source=$2 toolchain=$3 objdump=$4
work=$build/sdk-test
rm -rf "$work"
mkdir -p "$work"
sdk=$work/sdk

cmake --install "$build" --prefix "$sdk" >/dev/null
for f in bin/launcher.exe bin/modutil.dll include/modutil.h include/shellcomponent.h \
         lib/libmodutil.dll.a lib/modutil.lib lib/cmake/modutil/modutilConfig.cmake; do
  [ -f "$sdk/$f" ] || { echo "SDK lacks $f"; exit 1; }
done

# A component author's own project, outside the tree.
cp "$source"/examples/{CMakeLists.txt,*.cpp,*.h,*.def} "$work/"
mkdir "$work/component" && mv "$work"/{CMakeLists.txt,*.cpp,*.h,*.def} "$work/component/"
cmake -S "$work/component" -B "$work/component-build" --toolchain "$toolchain" \
      -DCMAKE_PREFIX_PATH="$sdk" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/component-build" >/dev/null
exports=$("$objdump" -p "$work/component-build/auxhost.dll")
for name in SS_Main SS_RunStartup SS_ForceStartup; do
  grep -qE "^\s+\[ *[0-9]+\] $name\$" <<<"$exports" || { echo "auxhost.dll does not export $name"; exit 1; }
done
"$objdump" -p "$work/component-build/modcore.dll" | grep -q "DLL Name: modutil.dll" \
  || { echo "modcore.dll does not import modutil.dll"; exit 1; }

(cd "$build" && cpack -G ZIP -B "$work/package" >/dev/null)
zip=$(ls "$work"/package/*.zip)
listing=$(cd "$work" && cmake -E tar tf "$zip")
for f in bin/launcher.exe bin/modutil.dll include/modutil.h lib/modutil.lib; do
  grep -q "/$f\$" <<<"$listing" || { echo "$(basename "$zip") lacks $f"; exit 1; }
done
echo "SDK, out-of-tree component build and $(basename "$zip") are good"
