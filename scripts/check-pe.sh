#!/usr/bin/env bash
# check-pe.sh OBJDUMP FILE [ALLOWED_DLL...]
# Fails unless FILE is a Windows PE image for the objdump's machine whose
# imports are all among the allowed DLLs (compared without regard to case).
set -eu
objdump=$1 file=$2
shift 2
info=$("$objdump" -p "$file")
case "$objdump" in
  *i686*)   grep -q 'file format pei-i386' <<<"$info" || { echo "$file: not PE32 i386"; exit 1; } ;;
  *x86_64*) grep -q 'file format pei-x86-64' <<<"$info" || { echo "$file: not PE32+ x86-64"; exit 1; } ;;
esac
status=0
while read -r dll; do
  ok=0
  for allowed in "$@"; do
    [ "${dll,,}" = "${allowed,,}" ] && ok=1
  done
  if [ $ok = 1 ]; then echo "imports $dll"; else echo "$file: unexpected import $dll"; status=1; fi
done < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$info")
if [ -n "${SUBSYSTEM:-}" ]; then
  grep -q "^Subsystem[[:space:]]*0*${SUBSYSTEM}[[:space:]]" <<<"$info" || { echo "$file: subsystem is not $SUBSYSTEM"; status=1; }
fi
exit $status
