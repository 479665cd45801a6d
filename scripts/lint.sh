#!/usr/bin/env bash
# lint.sh CLANG_TIDY BUILD_DIR [TRIPLE [FOLDER [CHECKS]]]: runs clang-tidy,
# configured by .clang-tidy, over every project source of a host build (from
# its compile_commands.json; GoogleTest's own sources left out). With the
# MinGW TRIPLE of a Windows build: over the product's sources (every product
# folder, or the one FOLDER), parsed for that target; CHECKS, when given,
# narrows .clang-tidy's checks (clang-tidy's --checks). Any finding fails.
set -euo pipefail
tidy=$1 build=$2 triple=${3:-} folders=${4:-launcher|hosting|componentcheck|shellctl|shellwatch|installer|modutil|common}
extra=()
filter='.'
if [ -n "$triple" ]; then
  extra=(--extra-arg=--target="$triple")
  # clang does not find MinGW's C++ headers by itself: take them from its g++.
  while read -r dir; do
    extra+=(--extra-arg=-isystem"$dir")
  done < <(echo | "$triple-g++-posix" -xc++ -E -v - 2>&1 |
           sed -n '/#include <...> search starts here:/,/End of search list./p' | grep '/c++' | sed 's/^ *//')
  # The checkout's path as a literal: it may hold characters a pattern gives a meaning to.
  root=$(cd "$(dirname "$0")/.." && pwd | sed 's/[][\.*^$+?(){}|/]/\\&/g')
  filter="^$root/($folders)/"
fi
[ -z "${5:-}" ] || extra+=(--checks="$5")
mapfile -t sources < <(sed -n 's/^ *"file": "\(.*\)",\{0,1\}$/\1/p' "$build/compile_commands.json" |
                       grep -v '/googletest/' | grep -E "$filter" | grep -v '\.rc$' | sort -u)
[ ${#sources[@]} -gt 0 ] || { echo "no sources in $build/compile_commands.json"; exit 1; }
# clang-tidy runs a file once for each of its compile commands: a source
# built into two targets (the launcher's test build, say) is read once here.
database=$(mktemp -d)
trap 'rm -rf "$database"' EXIT
perl -MJSON::PP -e 'local $/; my $json = JSON::PP->new->canonical->pretty; my %seen;
  print $json->encode([grep { !$seen{$_->{file}}++ } @{$json->decode(<>)}])' \
  "$build/compile_commands.json" >"$database/compile_commands.json"
status=0
# Linting waits on nothing: it takes the cores the programs under Wine leave idle.
output=$(nice -n 10 "$tidy" -p "$database" --quiet "${extra[@]}" "${sources[@]}" 2>&1) || status=$?
grep -v ' warnings generated\.$' <<<"$output" || true
exit $status
