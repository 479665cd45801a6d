#!/usr/bin/env bash
# test-sdk.sh BUILD_DIR SOURCE_DIR OBJDUMP PDBUTIL
# Lays the SDK out as `make sdk` does (but under BUILD_DIR), checks it and
# its ZIP, that every binary names the PDB beside it, builds the README's component CMakeLists.txt, verbatim, and the
# samples out of tree against it, checks their names, exports and imports,
# and runs the README's component under the SDK's launcher where this host
# can run the build's programs.
set -eu
build=$(realpath "$1") source=$2 objdump=$3 pdbutil=$4
work=$build/sdk-test
. "$source/scripts/lay-out-sdk.sh"
for f in bin/launcher.exe bin/shellwatch.exe bin/componentcheck.exe bin/shellctl.exe bin/modutil.dll include/modutil.h include/shellcomponent.h \
         lib/libmodutil.dll.a lib/modutil.lib lib/cmake/modutil/modutilConfig.cmake \
         lib/cmake/modutil/modutilComponent.cmake toolchain/mingw-common.cmake README.md sample/CMakeLists.txt \
         sample/modcore.cpp sample/desktop.cpp sample/logo.bmp sample/sample-desktop.png sample/modcore.def wine-run tools/wine.sh; do
  [ -f "$sdk/$f" ] || { echo "SDK lacks $f"; exit 1; }
done
listing=$(cmake -E tar tf "$dist"/shell-startup-sdk-*-"$preset".zip)
for f in bin/launcher.exe bin/launcher.pdb bin/shellwatch.exe bin/shellwatch.pdb bin/componentcheck.exe bin/shellctl.exe bin/modutil.dll bin/modutil.pdb \
         include/modutil.h lib/modutil.lib README.md sample/CMakeLists.txt wine-run tools/wine.sh; do
  grep -q "^sdk-$preset/$f\$" <<<"$listing" || { echo "the ZIP lacks $f"; exit 1; }
done

# A debugger finds a binary's symbols by the PDB file name in its debug
# directory, and takes them only if the PDB's GUID and age are the binary's.
symbols_beside() { # binary
  local record guid age name summary
  record=$("$objdump" -p "$1" | sed -n 's/.*(format RSDS signature \([0-9a-f]*\) age \([0-9]*\) pdb \(.*\))$/\1 \2 \3/p')
  [ -n "$record" ] || { echo "$1 names no PDB"; return 1; }
  read -r guid age name <<<"$record"
  [ -f "$(dirname "$1")/$name" ] || { echo "$1 names $name, which is not beside it"; return 1; }
  summary=$("$pdbutil" dump --summary "$(dirname "$1")/$name")
  grep -qix "  GUID: {$guid}" <<<"$(sed 's/-//g' <<<"$summary")" && grep -qx "  Age: $age" <<<"$summary" ||
    { echo "$name is not the PDB of $1 (it names GUID $guid age $age)"; return 1; }
}
for f in bin/launcher.exe bin/shellwatch.exe bin/componentcheck.exe bin/shellctl.exe bin/modutil.dll; do
  symbols_beside "$sdk/$f" || exit 1
done

configure() { # source directory, build directory
  cmake -S "$1" -B "$2" -G Ninja --toolchain "$toolchain" -DCMAKE_PREFIX_PATH="$sdk" >/dev/null
  cmake --build "$2" >/dev/null
}

# The README's component, its CMakeLists.txt taken from the README itself.
mine=$work/mycomponent
mkdir -p "$mine"
sed -n "/^cat > ~\/mycomponent\/CMakeLists.txt <<'END'\$/,/^END\$/p" "$source/README.md" | sed '1d;$d' >"$mine/CMakeLists.txt"
grep -q modutil_add_component "$mine/CMakeLists.txt" || { echo "no component CMakeLists.txt in the README"; exit 1; }
cp "$source"/examples/{modcore.cpp,desktop.cpp,desktop.h,modcore.def,sample.h} "$mine/"
configure "$mine" "$mine/build"
[ -f "$mine/build/modcore.dll" ] || { echo "modutil_add_component made no modcore.dll"; exit 1; }
"$source/scripts/check-pe.sh" "$objdump" "$mine/build/modcore.dll" KERNEL32.dll msvcrt.dll USER32.dll GDI32.dll modutil.dll >/dev/null \
  || { echo "modcore.dll needs more than system DLLs and modutil.dll"; exit 1; }
symbols_beside "$mine/build/modcore.dll" || exit 1

# A component in C alone, its CMakeLists.txt taken from the SDK's README: a
# C project has no C++ compiler for the package to ask, and gets its PDB.
inc=$work/ccomponent
mkdir -p "$inc"
awk '/^```cmake$/ { block = ""; inside = 1; next } /^```$/ { if (block ~ /project\(mycomponent C\)/) printf "%s", block; block = ""; inside = 0 }
     inside { block = block $0 "\n" }' "$sdk/README.md" >"$inc/CMakeLists.txt"
grep -q 'modutil_add_component(modcore SOURCES modcore.c ' "$inc/CMakeLists.txt" ||
  { echo "no C component CMakeLists.txt in the SDK's README"; exit 1; }
cp "$sdk/sample/modcore.def" "$inc/"
cat >"$inc/modcore.c" <<'END'
#include <shellcomponent.h>

int __cdecl ShellMain(const char *installDir, HANDLE readyEvent)
{
    MSG msg;
    (void)installDir;
    PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE); /* the queue, before the signal */
    SetEvent(readyEvent);
    while (GetMessageA(&msg, NULL, 0, 0) > 0 && msg.message != SHELL_STOP_MESSAGE)
        DispatchMessageA(&msg);
    return 0;
}
END
configure "$inc" "$inc/build"
symbols_beside "$inc/build/modcore.dll" || exit 1

# The SDK's own samples, with their CMakeLists.txt.
cp -r "$sdk/sample" "$work/samples"
configure "$work/samples" "$work/samples/build"
exports=$("$objdump" -p "$work/samples/build/auxhost.dll")
for name in SS_Main SS_RunStartup SS_ForceStartup; do
  grep -qE "^\s+\[ *[0-9]+\] $name\$" <<<"$exports" || { echo "auxhost.dll does not export $name"; exit 1; }
done

# The README's component in the shell, ending it after a second.
wine=$(dirname "$0")/wine.sh
why=$("$wine" status "$preset")
if [ "$why" != ok ]; then
  echo "SDK, its ZIP, the README's component and the samples are good; not run: $why"
  exit 0
fi
# Through the SDK's own wine-run, in the build's prefix (not one in $HOME).
export WINEPREFIX=${WINE_RUN_PREFIX:-$build/wineprefix}
shell=$work/shell
mkdir -p "$shell"
cp "$sdk/bin/launcher.exe" "$sdk/bin/modutil.dll" "$mine/build/modcore.dll" "$shell/"
echo "CoreSeconds 1" >"$shell/shell.rc"
# It says what it does through OutputDebugString, which Wine reports on stderr.
output=$(WINEDEBUG=-all,+debugstr "$sdk/wine-run" "$shell/launcher.exe" -n 2>&1 | "$source/scripts/debug-lines.sh")
grep -q "^\[core\] module system up" <<<"$output" || { echo "the component did not run: $output"; exit 1; }
# The C component, named by its Unix path as the README does.
cp "$sdk/bin/modutil.dll" "$inc/build/"
output=$("$sdk/wine-run" "$sdk/bin/componentcheck.exe" "$inc/build/modcore.dll") ||
  { echo "the C component does not pass componentcheck: $output"; exit 1; }
echo "SDK, its ZIP, the README's component, a C component and the samples are good"
