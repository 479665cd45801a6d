#!/usr/bin/env bash
# Installs, only when missing, everything the build and the tests need: the
# MinGW-w64 cross compilers, 32- and 64-bit Wine, GoogleTest's sources, CMake
# and Ninja, clang with its fuzzing runtime and clang-tidy, and nlohmann-json
# (header only, for componentcheck --json). Safe to run again; prints nothing
# when all is there, and apt's own output only if it fails.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix \
         g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
         wine wine32:i386 wine64 googletest cmake ninja-build make clang clang-tidy \
         libclang-rt-14-dev libinih-dev llvm nlohmann-json3-dev; do
  have "$p" || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
echo "== installing ${#need[@]} packages (with Wine, the first time: a few minutes): ${need[*]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
{
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
} >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
