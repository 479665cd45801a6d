#!/usr/bin/env bash
# run.sh [switches...]: builds the shell, stages an installation directory
# (launcher.exe, shellwatch.exe, modutil.dll, componentcheck.exe, shellctl.exe, the sample
# components and shell.rc), checks the
# components with componentcheck and runs launcher.exe there under Wine. What
# the components say through OutputDebugString shows on the terminal; the
# sample core ends the shell after CoreSeconds, or at "Quit shell" on its
# taskbar. Ctrl+C ends it early, cleanly: the launcher is asked to quit and
# stops every component in order.
#   DISPLAY=:N      shows the shell's desktop on that X display, through
#                   Wine's X11 driver (in a prefix of its own, wineprefix-x11);
#                   without DISPLAY the null driver draws nowhere, as the
#                   first lines say
#   COMPONENTS=dir  stages the files found there over the samples: the
#                   component libraries, their PDBs, their configuration
#                   files (any scenario.ini, shell.rc, clock.rc...), every
#                   file but the build system's own, which it names
#   ARCH=win32|win64 the shell's bitness; by default that of the components
#                   given, else 32-bit (64-bit on a host that cannot run
#                   32-bit programs). A mismatch is refused, never run.
#   READY_SECONDS=n how long the shell may take to be ready (default 60)
#                   before the script says which component holds it
#   STOP_SECONDS=n  how long --stop and Ctrl+C wait before ending it (15)
#   TEST_QUICKSTOP=1 for the tests of this script only: stages the tests' own
#                   build of the launcher (a thread gets 2 s to stop, not
#                   10 s) and gives componentcheck --call-limit 2000
# run.sh --stop: asks every launcher.exe in the build's Wine prefix to quit,
# and ends any still running 15 s later (one held at start-up reads no
# messages).
set -eu
cd "$(dirname "$0")/.."
export WINE32_STATUS WINE64_STATUS
WINE32_STATUS=$(scripts/wine.sh status win32)
WINE64_STATUS=$(scripts/wine.sh status win64)

# The bitness of a Windows binary, from its PE header's machine; empty when
# it is none.
# shellctl's words, as make run's: marked, with the way out of each state.
narrate() {
  sed -u -e 's/^/[run] /' \
         -e '/ shows a box /s/$/ (make stop answers it)/' \
         -e '/ is not ready after /s/$/; componentcheck above says why (make stop ends it)/'
}

bitness_of() { # FILE
  local header machine
  header=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
  [ -n "$header" ] && [ "$(od -An -c -j"$header" -N2 "$1" 2>/dev/null | tr -d ' ')" = PE ] || return 0
  machine=$(od -An -tx2 -j$((header + 4)) -N2 "$1" | tr -d ' ')
  case $machine in
    014c) echo win32 ;;
    8664) echo win64 ;;
  esac
}

wanted=${ARCH:-${PRESET:-}} # PRESET: the name the tests and older notes use
case $wanted in
  ''|win32|win64) ;;
  *) echo "[run] ARCH=$wanted: the shell is win32 or win64" >&2; exit 2 ;;
esac
if [ -n "${COMPONENTS:-}" ] && [ "${1:-}" != --stop ]; then
  [ -d "$COMPONENTS" ] || { echo "[run] COMPONENTS=$COMPONENTS is not a directory" >&2; exit 1; }
  theirs='' first=''
  for dll in "$COMPONENTS"/*.dll; do
    [ -f "$dll" ] || continue
    bits=$(bitness_of "$dll")
    [ -n "$bits" ] || { echo "[run] $dll is not a Windows library" >&2; exit 1; }
    if [ -z "$theirs" ]; then
      theirs=$bits first=$dll
    elif [ "$bits" != "$theirs" ]; then
      echo "[run] $first is ${theirs#win}-bit but $dll is ${bits#win}-bit: a shell loads components of its own bitness only" >&2
      exit 1
    fi
  done
  if [ -n "$wanted" ] && [ -n "$theirs" ] && [ "$wanted" != "$theirs" ]; then
    echo "[run] the components in $COMPONENTS are ${theirs#win}-bit, but ARCH=$wanted: a ${wanted#win}-bit launcher cannot load them (give ARCH=$theirs, or none)" >&2
    exit 1
  fi
  wanted=${wanted:-$theirs}
fi
if [ -n "$wanted" ]; then
  preset=$wanted
  why=$WINE32_STATUS
  [ "$preset" = win64 ] && why=$WINE64_STATUS
  if [ "$why" != ok ]; then
    echo "[run] the ${preset#win}-bit shell cannot run here: $why" >&2
    exit 1
  fi
elif [ "$WINE32_STATUS" = ok ]; then
  preset=win32
else
  preset=win64
  if [ "$WINE64_STATUS" != ok ]; then
    echo "[run] no build can run here: 32-bit: $WINE32_STATUS; 64-bit: $WINE64_STATUS" >&2
    exit 1
  fi
  echo "[run] the 64-bit build: 32-bit programs cannot run here ($WINE32_STATUS)"
fi
build=build/$preset
wine=$build/wine-run
# The prefix a staged installation ran in, for make stop: the display's, the
# build's own, or the one the caller named (WINE_RUN_PREFIX, as the tests do).
given_prefix=${WINE_RUN_PREFIX:-}
use_prefix_of() { # INSTALL
  export WINE_RUN_PREFIX
  if [ -f "$1/.prefix" ]; then WINE_RUN_PREFIX=$(cat "$1/.prefix"); else WINE_RUN_PREFIX=$given_prefix; fi
  [ -n "$WINE_RUN_PREFIX" ] || unset WINE_RUN_PREFIX
}
stop_ms=$((${STOP_SECONDS:-15} * 1000))
ready_seconds=${READY_SECONDS:-60}
install=$build/run
# The staged installation's own shellctl: it controls that installation's launcher only.
shellctl=$install/shellctl.exe

if [ "${1:-}" = --stop ]; then
  if [ -z "$wanted" ]; then # the build that runs one, whichever bitness make run took
    for other in win32 win64; do
      [ "$other" = win32 ] && why=$WINE32_STATUS || why=$WINE64_STATUS
      [ "$why" = ok ] && [ -x "build/$other/wine-run" ] && [ -f "build/$other/run/shellctl.exe" ] || continue
      use_prefix_of "build/$other/run"
      if "build/$other/wine-run" "build/$other/run/shellctl.exe" running >/dev/null; then
        build=build/$other wine=build/$other/wine-run install=build/$other/run shellctl=build/$other/run/shellctl.exe
        break
      fi
    done
  fi
  [ -x "$wine" ] && [ -f "$shellctl" ] || { echo "[run] nothing was ever run here"; exit 0; }
  use_prefix_of "$install"
  if ! "$wine" "$shellctl" running >/dev/null; then
    echo "[run] no launcher.exe of $install runs: nothing to stop"
    exit 0
  fi
  # Says to the make run that started it that it was ended, not that it quit:
  # Wine does not pass on the exit code of a process another one ended.
  touch "$install/.stopping"
  "$wine" "$shellctl" quit --force-after "$stop_ms" | narrate | tee "$install/.stop.txt"
  status=${PIPESTATUS[0]}
  grep -o 'ended it (exit code [0-9]*)' "$install/.stop.txt" >"$install/.ended" || rm -f "$install/.ended"
  rm -f "$install/.stopping"
  exit "$status"
fi

if [ -n "${DISPLAY:-}" ]; then
  export WINE_GRAPHICS=x11 WINE_RUN_PREFIX=${given_prefix:-$PWD/$build/wineprefix-x11}
  echo "[run] the desktop shows on the display $DISPLAY (Wine's X11 driver)"
else
  echo "[run] no DISPLAY: Wine's null driver, which draws nowhere (DISPLAY=:N make run shows the desktop)"
fi
prefix=${WINE_RUN_PREFIX:-$build/wineprefix}

# modutil.lib too: `cmake --install` of this build, after a run, needs it.
quick=${TEST_QUICKSTOP:-}
scripts/build.sh $preset launcher shellwatch modutil componentcheck config auxhost modcore shellctl modutil_msvc_lib \
  ${quick:+launcher_quickstop}
if [ ! -f "$prefix/.ready" ]; then
  echo "[run] preparing the Wine prefix (the first time: under a minute)"
fi
"$wine" --version >/dev/null # makes the prefix on first use

# Named objects are global to the prefix: a second copy would only see the
# first one's ready event, or wait on its own hidden question box.
if [ -f "$shellctl" ] && "$wine" "$shellctl" running >/dev/null; then
  echo "[run] a launcher.exe already runs in this Wine prefix ($prefix); end it with: make stop" >&2
  exit 1
fi
rm -rf "$install"
mkdir -p "$install"
cp "$build"/bin/{launcher.exe,shellwatch.exe,modutil.dll,componentcheck.exe,shellctl.exe} "$build"/bin/samples/*.dll \
   examples/{shell.rc,wallpaper.bmp,logo.bmp} "$install/"
echo "$prefix" >"$install/.prefix"
[ -z "$quick" ] || cp "$build/bin/quickstop/launcher.exe" "$install/"
if [ -n "${COMPONENTS:-}" ]; then
  # Everything beside the components but the build system's own files.
  staged=() skipped=()
  for file in "$COMPONENTS"/* "$COMPONENTS"/.[!.]*; do
    [ -f "$file" ] || continue
    name=$(basename "$file")
    case $name in
      CMakeCache.txt|cmake_install.cmake|CTestTestfile.cmake|build.ninja|.ninja_*|Makefile|compile_commands.json|\
      install_manifest.txt|*.a|*.lib|*.exp|*.ilk|*.o|*.obj) skipped+=("$name") ;;
      *) cp "$file" "$install/"; staged+=("$name") ;;
    esac
  done
  echo "[run] staged from $COMPONENTS: ${staged[*]:-nothing}"
  [ ${#skipped[@]} -eq 0 ] || echo "[run] not staged (the build system's own): ${skipped[*]}"
fi

# What an author sees first: whether the components keep the contract.
echo "[run] componentcheck config.dll auxhost.dll modcore.dll"
(cd "$install" && "../../../$wine" componentcheck.exe --ready-timeout $((ready_seconds * 1000)) ${quick:+--call-limit 2000} \
                     config.dll auxhost.dll modcore.dll) ||
  echo "[run] componentcheck found faults; the shell starts all the same"

echo "[run] $install/launcher.exe $*"
# The launcher runs in a session of its own, so the terminal's Ctrl+C reaches
# only this script, which then asks the launcher to quit.
# Wine reports what programs say through OutputDebugString on stderr.
WINEDEBUG=-all,+debugstr setsid -w "$wine" "$install/launcher.exe" "$@" 2> >(scripts/debug-lines.sh >&2) &
launcher=$!
trap '"$wine" "$shellctl" quit --force-after "$stop_ms" | narrate || true' INT TERM
{ "$wine" "$shellctl" ready $((ready_seconds * 1000)); "$wine" "$shellctl" watch; } > >(narrate) &
watcher=$!

# A trap cuts a wait short: wait until the launcher is gone, then take its status.
while kill -0 "$launcher" 2>/dev/null; do
  wait "$launcher" || true
done
wait "$launcher" && status=0 || status=$?
kill "$watcher" 2>/dev/null || true
wait "$watcher" 2>/dev/null || true
for _ in $(seq $((stop_ms / 100 + 50))); do # a make stop still under way says how it ended it
  [ -f "$install/.stopping" ] || break
  sleep 0.1
done
if [ -f "$install/.ended" ]; then
  status=$(grep -o '[0-9]*' "$install/.ended" | tail -1)
  echo "[run] launcher.exe did not quit: make stop $(cat "$install/.ended")"
else
  echo "[run] launcher.exe exited with code $status"
fi
exit "$status"
