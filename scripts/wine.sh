#!/usr/bin/env bash
# wine.sh: the one place that decides how a Windows program runs on this host.
#
#   wine.sh status ARCH                 prints "ok" if this host runs ARCH (win32
#                                       or win64) programs, else why not
#   wine.sh prefix [--warm] PREFIX ARCH makes the Wine prefix once (wineboot,
#                                       null graphics driver); --warm also
#                                       starts its server and services (run
#                                       does too, when none runs), to stay up
#                                       WINE_SERVER_PERSIST seconds (120)
#                                       after the last program
#   WINE_GRAPHICS=x11 (with DISPLAY)    gives the prefix Wine's X11 driver
#                                       instead, so that its windows show on
#                                       that display (WINE_GRAPHICS=null gives
#                                       the null driver back); without it a
#                                       prefix keeps the driver it has
#   WINE_PREFIX_TEMPLATE=DIR            makes a new prefix as a copy of the
#                                       prefix DIR (made first, once), which is
#                                       much faster than making each anew
#   wine.sh run PREFIX ARCH PROGRAM [ARGS...]
#                                       runs PROGRAM (a .exe, or a Wine tool
#                                       such as reg or cmd) in PREFIX
#   wine.sh end PREFIX...               ends each prefix's server and every
#                                       program still running in it
#
# 64-bit programs always go through the 64-bit loader, called directly:
# Debian's `wine` wrapper takes the 32-bit loader whenever wine32 is
# installed, and that loader is a 32-bit Linux program that some kernels
# cannot execute. 32-bit programs run only where the 32-bit loader starts.
# The probe runs once per command: a script exports its answer as
# WINE32_STATUS and WINE64_STATUS for the processes below. NO_WINE32=1 makes any host act as one that cannot
# run 32-bit programs.
set -eu

loaders=/usr/lib/wine

loader() { # ARCH
  case $1 in
    win32) echo "$loaders/wine" ;;
    win64) echo "$loaders/wine64" ;;
    *) echo "wine.sh: unknown architecture '$1' (win32 or win64)" >&2; exit 2 ;;
  esac
}

# Why ARCH programs cannot run here, or "ok".
probe() { # ARCH
  local arch=$1 path output cached
  if [ "$arch" = win32 ] && [ -n "${NO_WINE32:-}" ] && [ "$NO_WINE32" != 0 ]; then
    echo "NO_WINE32=$NO_WINE32 makes this host act as one that cannot execute 32-bit programs"
    return
  fi
  cached=WINE${arch#win}_STATUS
  if [ -n "${!cached:-}" ]; then echo "${!cached}"; return; fi
  path=$(loader "$arch")
  if [ ! -e "$path" ]; then
    [ "$arch" = win32 ] && echo "the 32-bit Wine loader is not installed (package wine32:i386)" ||
      echo "the 64-bit Wine loader is not installed (package wine64)"
    return
  fi
  if output=$("$path" --version 2>&1); then
    echo ok
  elif grep -q 'Exec format error' <<<"$output"; then
    echo "this kernel cannot execute ${arch#win}-bit programs (Exec format error from $path)"
  else
    echo "the ${arch#win}-bit Wine loader does not start: $output"
  fi
}

make_prefix() { # PREFIX ARCH WARM
  local prefix=$1 arch=$2 warm=$3 wine log status
  wine=$(loader "$arch")
  export WINEPREFIX=$prefix WINEARCH=$arch WINELOADER=$wine WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
  # Arguments and file names with letters outside ASCII reach the Windows side as they are.
  export LC_ALL=C.UTF-8
  if [ ! -f "$prefix/.ready" ]; then
    mkdir -p "$(dirname "$prefix")"
    # Tests start in parallel: one of them makes the prefix, the others wait.
    exec 9>"$prefix.lock"
    flock 9
    local template=${WINE_PREFIX_TEMPLATE:+$(realpath -m "$WINE_PREFIX_TEMPLATE")}
    if [ ! -f "$prefix/.ready" ] && [ -n "$template" ] && [ "$template" != "$prefix" ]; then
      # A copy of the template, made once by wineboot: a second or so
      # instead of a whole wineboot for every prefix.
      WINE_PREFIX_TEMPLATE='' WINE_GRAPHICS='' "$0" prefix "$template" "$arch"
      WINEPREFIX=$template "$loaders/wineserver" -w # nothing of the template's runs while it is copied
      rm -rf "$prefix" "$prefix.copy"
      cp -a "$template" "$prefix.copy"
      mv "$prefix.copy" "$prefix"
    fi
    if [ ! -f "$prefix/.ready" ]; then
      log=$(mktemp)
      status=0
      { "$wine" wineboot -i &&
        "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "${WINE_GRAPHICS:-null}" /f &&
        "$loaders/wineserver" -w; } >"$log" 2>&1 || status=$?
      if [ $status != 0 ]; then
        echo "wine.sh: could not make the Wine prefix $prefix ($arch), exit $status:" >&2
        if grep -q 'Exec format error' "$log"; then
          echo "  this kernel cannot execute the ${arch#win}-bit Wine loader $wine (Exec format error)" >&2
        fi
        sed 's/^/  /' "$log" >&2
        rm -f "$log"
        exit 1
      fi
      rm -f "$log"
      echo "${WINE_GRAPHICS:-null}" >"$prefix/.graphics"
      touch "$prefix/.ready"
    fi
    exec 9>&-
  fi
  # A program that crashes ends: no debugger is started to wait for an answer
  # nobody gives (and a test hung with it). Prefixes made before this get it too.
  if [ ! -f "$prefix/.no-debugger" ]; then
    exec 9>"$prefix.lock"
    flock 9
    if [ ! -f "$prefix/.no-debugger" ]; then
      "$wine" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
      touch "$prefix/.no-debugger"
    fi
    exec 9>&-
  fi
  # The graphics driver the caller asks for, set again only when it changes:
  # a change ends the prefix's programs.
  local graphics=${WINE_GRAPHICS:-}
  if [ -n "$graphics" ] && [ "$(cat "$prefix/.graphics" 2>/dev/null || echo null)" != "$graphics" ]; then
    exec 9>"$prefix.lock"
    flock 9
    "$loaders/wineserver" -k 2>/dev/null || true # a running server keeps the driver it started with
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$graphics" /f >/dev/null 2>&1
    "$loaders/wineserver" -k 2>/dev/null || true # and its desktop process, which took the driver set before
    echo "$graphics" >"$prefix/.graphics"
    exec 9>&-
  fi
  if [ "$warm" = 1 ]; then
    start_server "$wine"
  fi
}

# A program that finds no server running for its prefix starts one, and the
# prefix's services, and they hold the program's standard output and error:
# whoever reads those to their end (ctest, a pipe) waits until the server
# ends, long after the program. So the server and services are started here,
# holding none of the caller's, and stay up WINE_SERVER_PERSIST seconds (120)
# after the last program: long enough that a prefix's tests, spread over a
# run, find them up (each start costs the services' start, about 2 s of CPU).
start_server() { # WINE
  if "$loaders/wineserver" -p"${WINE_SERVER_PERSIST:-120}" </dev/null >/dev/null 2>&1; then
    "$1" cmd /c exit </dev/null >/dev/null 2>&1 || true
  fi
}

command=${1:-}
shift || true
case $command in
  status)
    [ $# = 1 ] || { echo "usage: wine.sh status win32|win64" >&2; exit 2; }
    probe "$1" ;;
  prefix)
    warm=0
    [ "${1:-}" = --warm ] && { warm=1; shift; }
    [ $# = 2 ] || { echo "usage: wine.sh prefix [--warm] PREFIX win32|win64" >&2; exit 2; }
    why=$(probe "$2")
    [ "$why" = ok ] || { echo "wine.sh: cannot run $2 programs here: $why" >&2; exit 1; }
    make_prefix "$(realpath -m "$1")" "$2" $warm ;;
  run)
    [ $# -ge 3 ] || { echo "usage: wine.sh run PREFIX win32|win64 PROGRAM [ARGS...]" >&2; exit 2; }
    prefix=$(realpath -m "$1") arch=$2
    shift 2
    why=$(probe "$arch")
    [ "$why" = ok ] || { echo "wine.sh: cannot run $arch programs here: $why" >&2; exit 126; }
    make_prefix "$prefix" "$arch" 0
    start_server "$(loader "$arch")"
    unset WINE_PREFIX_TEMPLATE # the programs' environment is their own
    exec "$(loader "$arch")" "$@" ;;
  end)
    for prefix in "$@"; do
      [ ! -d "$prefix" ] || WINEPREFIX=$(realpath "$prefix") "$loaders/wineserver" -k 2>/dev/null || true
    done ;;
  *)
    echo "usage: wine.sh status|prefix|run|end ... (see the head of this script)" >&2
    exit 2 ;;
esac
