#!/usr/bin/env bash
# Installs, only when missing, everything the build and the tests need: the
# MinGW-w64 headers, libraries and GCC runtimes, clang and lld (which build
# the Windows binaries and their PDBs), 32- and 64-bit Wine, GoogleTest's
# sources, CMake and Ninja, clang's fuzzing runtime and clang-tidy, llvm's
# tools, nlohmann-json (header only, for componentcheck --json), and wixl,
# msitools, osslsigncode and openssl for the installer packages and their
# signatures, and Xvfb, ImageMagick and xdotool to look at the sample desktop
# on a virtual screen, and perl, which turns the linter's compile database and
# Wine's debug-string lines into what the scripts read. Safe to run again; prints nothing
# when all is there, and apt's own output only if it fails.
#   --check  then starts a trivial Windows program of each bitness in the
#            build's Wine prefix of that bitness and says which run here
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
[ "${1:-}" = --check ] && check=1

# Which Windows programs this host runs, shown by running one of each.
check_wine() {
  local arch why
  for arch in win32 win64; do
    why=$(scripts/wine.sh status $arch)
    if [ "$why" = ok ]; then
      if [ -f "build/$arch/wineprefix/.ready" ]; then
        echo "== starting a ${arch#win}-bit Windows program (cmd.exe)"
      else
        echo "== starting a ${arch#win}-bit Windows program (cmd.exe, in a new Wine prefix: under a minute)"
      fi
      scripts/wine.sh run "build/$arch/wineprefix" $arch cmd /c exit 0 ||
        { echo "== ${arch#win}-bit Windows programs: FAILED to start" >&2; return 1; }
      echo "== ${arch#win}-bit Windows programs run here"
    else
      echo "== ${arch#win}-bit Windows programs do not run here: $why"
    fi
  done
}

# A mirror whose i386 security index is mid-sync leaves the i386 half of a
# library one security update behind its installed amd64 half, and the two
# must match. Then security is pinned down for this install, and each i386
# package apt cannot match is taken at the installed amd64 version, straight
# from the pool beside that version's amd64 file.
install_i386_from_pool() {
  local pref dir p v url tries debs
  pref=$(mktemp); dir=$(mktemp -d)
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 50\n' >"$pref"
  local apt=(apt-get -o Dir::Etc::Preferences="$pref" install -y --no-install-recommends)
  for tries in 1 2 3 4 5 6 7 8; do
    mapfile -t debs < <(ls "$dir"/*.deb 2>/dev/null)
    if $SUDO "${apt[@]}" -qq "${need[@]}" "${debs[@]}"; then rm -rf "$pref" "$dir"; return 0; fi
    local fetched=0
    for p in $("${apt[@]}" -s "${need[@]}" "${debs[@]}" 2>&1 |
               grep -o 'Depends: [^ ]*:i386' | sed 's/Depends: //; s/:i386$//' | sort -u); do
      v=$(dpkg-query -W -f='${Version}' "$p:amd64" 2>/dev/null) || continue
      ls "$dir"/"${p}"_*_i386.deb >/dev/null 2>&1 && continue
      url=$(apt-get download --print-uris "$p=$v" 2>/dev/null | sed -n "s/^'\(.*\)_amd64\.deb'.*/\1_i386.deb/p")
      [ -n "$url" ] && (cd "$dir" && curl -sfO "$url") && fetched=1
    done
    [ $fetched = 1 ] || break
  done
  rm -rf "$pref" "$dir"
  return 1
}

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

for p in g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix \
         g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix \
         wine wine32:i386 wine64 googletest cmake ninja-build make clang lld clang-tidy \
         libclang-rt-14-dev libinih-dev llvm nlohmann-json3-dev wixl msitools osslsigncode openssl \
         xvfb imagemagick xdotool x11-utils perl; do
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -eq 0 ]; then
  if [ $check = 1 ]; then check_wine; fi
  exit 0
fi

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
  $SUDO apt-get update -qq || true # a mirror's index mid-sync must not stop the packages it does have
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
} >"$log" 2>&1 || install_i386_from_pool >>"$log" 2>&1 || {
  # The 32-bit Wine loader is the one thing the suite can do without: the
  # win32 build is then built and inspected, not run, and the tests say so.
  rest=()
  for p in "${need[@]}"; do [[ $p == *:i386 ]] || rest+=("$p"); done
  if [ ${#rest[@]} -eq ${#need[@]} ] ||
     ! { [ ${#rest[@]} -eq 0 ] || $SUDO apt-get install -y -qq --no-install-recommends "${rest[@]}" >>"$log" 2>&1; }; then
    cat "$log" >&2
    exit 1
  fi
  echo "== could not install the 32-bit Wine loader (wine32:i386): 32-bit programs will not run here; apt said:" >&2
  grep -E '^(E|W):' "$log" | head -5 | sed 's/^/   /' >&2
}
if [ $check = 1 ]; then check_wine; fi
