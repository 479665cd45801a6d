#!/usr/bin/env bash
# lint.sh CLANG_TIDY BUILD_DIR: runs clang-tidy, configured by .clang-tidy,
# over every project source of a host build (from its compile_commands.json;
# GoogleTest's own sources left out). Any finding fails.
set -euo pipefail
tidy=$1 build=$2
mapfile -t sources < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
                       grep -v '/googletest/' | sort -u)
[ ${#sources[@]} -gt 0 ] || { echo "no sources in $build/compile_commands.json"; exit 1; }
status=0
output=$("$tidy" -p "$build" --quiet "${sources[@]}" 2>&1) || status=$?
grep -v ' warnings generated\.$' <<<"$output" || true
exit $status
