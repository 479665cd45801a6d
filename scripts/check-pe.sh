#!/usr/bin/env bash
# check-pe.sh OBJDUMP FILE [options] [ALLOWED_DLL...]
# Reads a built Windows binary without running it, so it checks the builds
# of any bitness on any host. Fails unless FILE is a PE image for the
# objdump's machine whose imports are all among the allowed DLLs (compared
# without regard to case), and, as the options ask:
#   --subsystem N        its subsystem is N (2 GUI, 3 console)
#   --exports A,B,...    it exports exactly these names, each undecorated
#   --version V          it has a version resource of file and product version
#                        V, a description, a product name and its own file
#                        name as OriginalFilename
#   --program | --library  the version resource's file type; a program also
#                        carries the application manifest, a library none
set -eu
objdump=$1 file=$2
shift 2
subsystem="" exports="" version="" kind=""
while [ $# -gt 0 ]; do
  case $1 in
    --subsystem) subsystem=$2; shift 2 ;;
    --exports) exports=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --program | --library) kind=${1#--}; shift ;;
    *) break ;;
  esac
done
info=$("$objdump" -p "$file")
case "$objdump" in
  *i686*)   grep -q 'file format pei-i386' <<<"$info" || { echo "$file: not PE32 i386"; exit 1; } ;;
  *x86_64*) grep -q 'file format pei-x86-64' <<<"$info" || { echo "$file: not PE32+ x86-64"; exit 1; } ;;
esac
status=0
fail() { echo "$file: $*"; status=1; }

while read -r dll; do
  ok=0
  for allowed in "$@"; do
    [ "${dll,,}" = "${allowed,,}" ] && ok=1
  done
  [ $ok = 1 ] || fail "unexpected import $dll"
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$info")

if [ -n "$subsystem" ]; then
  grep -q "^Subsystem[[:space:]]*0*${subsystem}[[:space:]]" <<<"$info" || fail "subsystem is not $subsystem"
fi

if [ -n "$exports" ]; then
  # GetProcAddress finds an export by exactly the name in this table.
  have=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' <<<"$info" | sort)
  want=$(tr ',' '\n' <<<"$exports" | sort)
  [ "$have" = "$want" ] || fail "exports $(echo $have), expected $(echo $want)"
fi

if [ -n "$version" ]; then
  # The version strings are UTF-16: each name is followed by its value.
  strings=$(strings -el "$file")
  value() { grep -A1 -x "$1" <<<"$strings" | sed -n 2p; }
  name=$(basename "$file")
  [ "$(value FileVersion)" = "$version" ] || fail "FileVersion is not $version"
  [ "$(value ProductVersion)" = "$version" ] || fail "ProductVersion is not $version"
  [ "$(value OriginalFilename)" = "$name" ] || fail "OriginalFilename is not $name"
  [ -n "$(value FileDescription)" ] || fail "no FileDescription"
  [ -n "$(value ProductName)" ] || fail "no ProductName"
  # VS_FIXEDFILEINFO follows its signature: the file version's two words
  # are its 3rd and 4th fields, the file type (1 program, 2 library) its 10th.
  offset=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$file" | head -1 | cut -d: -f1)
  if ! grep -qE '^[0-9a-f]+   Entry: ID: 0x000010,' <<<"$info" || [ -z "$offset" ]; then
    fail "no version resource"
  else
    fixed=($(od -An -v -tu4 -j "$offset" -N 40 "$file"))
    IFS=. read -r major minor patch <<<"$version"
    [ "${fixed[2]}" = $((major << 16 | minor)) ] && [ "${fixed[3]}" = $((patch << 16)) ] ||
      fail "fixed file version is not $version"
    case $kind in
      program) [ "${fixed[9]}" = 1 ] || fail "file type is not VFT_APP" ;;
      library) [ "${fixed[9]}" = 2 ] || fail "file type is not VFT_DLL" ;;
    esac
  fi
fi

manifest_parts=('level="asInvoker"' '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}' '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}'
                '{1f676c76-80e1-4239-95bb-83d0f6d0da78}' '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}' 'PerMonitorV2' 'true/pm'
                'Microsoft.Windows.Common-Controls" version="6.0.0.0"')
case $kind in
  program)
    # A resource type is an entry of the directory's first level (RT_MANIFEST is 24).
    grep -qE '^[0-9a-f]+   Entry: ID: 0x000018,' <<<"$info" || fail "no manifest resource"
    for part in "${manifest_parts[@]}"; do
      grep -qaF "$part" "$file" || fail "manifest lacks $part"
    done ;;
  library)
    ! grep -qaF '<assembly' "$file" || fail "a library carries a manifest" ;;
esac
exit $status
