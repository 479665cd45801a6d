#!/usr/bin/env bash
# run.sh [switches...]: builds the shell, stages an installation directory
# (launcher.exe, shellwatch.exe, modutil.dll, componentcheck.exe, shellctl.exe, the sample
# components and shell.rc), checks the
# components with componentcheck and runs launcher.exe there under Wine. The
# components narrate on the terminal; the sample core ends the shell after
# CoreSeconds. Ctrl+C ends it early, cleanly: the launcher is asked to quit
# and stops every component in order.
#   COMPONENTS=dir  stages the component libraries (and any scenario.ini)
#                   found there over the samples
#   READY_SECONDS=n how long the shell may take to be ready (default 60)
#                   before the script says which component holds it
#   STOP_SECONDS=n  how long --stop and Ctrl+C wait before ending it (15)
# run.sh --stop: asks every launcher.exe in the build's Wine prefix to quit,
# and ends any still running 15 s later (one held at start-up reads no
# messages).
# The shell is the 32-bit build; on a host that cannot run 32-bit programs,
# the 64-bit one.
set -eu
cd "$(dirname "$0")/.."
export WINE32_STATUS WINE64_STATUS
WINE32_STATUS=$(scripts/wine.sh status win32)
WINE64_STATUS=$(scripts/wine.sh status win64)
preset=${PRESET:-win32} # PRESET=win64 runs the 64-bit build on any host that can
if [ -z "${PRESET:-}" ] && [ "$WINE32_STATUS" != ok ]; then
  preset=win64
  if [ "$WINE64_STATUS" != ok ]; then
    echo "[run] no build can run here: 32-bit: $WINE32_STATUS; 64-bit: $WINE64_STATUS" >&2
    exit 1
  fi
  echo "[run] the 64-bit build: 32-bit programs cannot run here ($WINE32_STATUS)"
fi
build=build/$preset
wine=$build/wine-run
stop_ms=$((${STOP_SECONDS:-15} * 1000))
ready_seconds=${READY_SECONDS:-60}
shellctl=$build/bin/shellctl.exe

if [ "${1:-}" = --stop ]; then
  [ -x "$wine" ] && [ -f "$shellctl" ] || { echo "[run] nothing was ever run here"; exit 0; }
  if ! "$wine" "$shellctl" running >/dev/null; then
    echo "[run] no launcher.exe runs in this Wine prefix: nothing to stop"
    exit 0
  fi
  # Says to the make run that started it that it was ended, not that it quit:
  # Wine does not pass on the exit code of a process another one ended.
  mkdir -p "$build/run"
  touch "$build/run/.stopping"
  "$wine" "$shellctl" quit --force-after "$stop_ms" | tee "$build/run/.stop.txt"
  status=${PIPESTATUS[0]}
  grep -o 'ended it (exit code [0-9]*)' "$build/run/.stop.txt" >"$build/run/.ended" || rm -f "$build/run/.ended"
  rm -f "$build/run/.stopping"
  exit "$status"
fi

scripts/build.sh $preset launcher shellwatch modutil componentcheck config auxhost modcore shellctl
install=$build/run
rm -rf "$install"
mkdir -p "$install"
cp "$build"/bin/{launcher.exe,shellwatch.exe,modutil.dll,componentcheck.exe,shellctl.exe} "$build"/bin/samples/*.dll examples/shell.rc "$install/"
if [ -n "${COMPONENTS:-}" ]; then
  echo "[run] components from $COMPONENTS"
  cp "$COMPONENTS"/*.dll "$install/"
  cp "$COMPONENTS"/*.ini "$install/" 2>/dev/null || true
fi

if [ ! -f "$build/wineprefix/.ready" ]; then
  echo "[run] preparing the Wine prefix (the first time: under a minute)"
fi
"$wine" --version >/dev/null # makes the prefix on first use

# Named objects are global to the prefix: a second copy would only see the
# first one's ready event, or wait on its own hidden question box.
if "$wine" "$shellctl" running >/dev/null; then
  echo "[run] a launcher.exe already runs in this Wine prefix ($build/wineprefix); end it with: make stop" >&2
  exit 1
fi

# What an author sees first: whether the components keep the contract.
echo "[run] componentcheck config.dll auxhost.dll modcore.dll"
(cd "$install" && "../../../$wine" componentcheck.exe --ready-timeout $((ready_seconds * 1000)) \
                     config.dll auxhost.dll modcore.dll) ||
  echo "[run] componentcheck found faults; the shell starts all the same"

echo "[run] $install/launcher.exe $*"
# The launcher runs in a session of its own, so the terminal's Ctrl+C reaches
# only this script, which then asks the launcher to quit.
setsid -w "$wine" "$install/launcher.exe" "$@" &
launcher=$!
trap '"$wine" "$shellctl" quit --force-after "$stop_ms" || true' INT TERM
"$wine" "$shellctl" ready $((ready_seconds * 1000)) &
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
