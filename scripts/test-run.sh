#!/usr/bin/env bash
# test-run.sh BUILD_DIR: make run must not trap its user. With a core that
# never signals, the watcher says which component holds the start-up, make
# stop asks and then ends the launcher, and a second make stop finds nothing.
# With a core that ignores the stop, make stop answers the notice box and
# says it on the terminal (the watcher says it too when it sees it first).
# The author's files beside the components are staged, the build system's
# are not, and components of the other bitness are refused.
set -eu
build=$(realpath "$1")
preset=$(basename "$build")
source=$(cd "$(dirname "$0")/.." && pwd)
components=$build/run-test
rm -rf "$components"
mkdir -p "$components"
cp "$build/bin/fixtures/modcore.dll" "$components/"
printf '[ShellMain]\nsignal_gate=gate_never_opened\n' >"$components/scenario.ini"
touch "$components/clock.rc" "$components/build.ninja"
unset DISPLAY # the null driver, which make run names in its first lines
export ARCH=$preset TEST_QUICKSTOP=1 # the same script and verdicts, with 2 s waits where the shell waits 10 s
output=$components/run.txt

[ "$preset" = win32 ] && other=win64 || other=win32
if ARCH=$other COMPONENTS=$components "$source/scripts/run.sh" >"$output" 2>&1; then
  echo "make run ran ${preset#win}-bit components with ARCH=$other"; exit 1
fi
grep -q "are ${preset#win}-bit, but ARCH=$other" "$output" || { cat "$output"; echo "no reason for the refusal"; exit 1; }

# Starts make run with the stand-in core's scenario; waits until run.txt says `said`.
start() {
  printf '%b' "$1" >"$components/scenario.ini"
  # A launcher the test before ended may take a moment to be gone.
  for _ in $(seq 100); do
    [ -f "$build/run/shellctl.exe" ] && "$build/wine-run" "$build/run/shellctl.exe" running >/dev/null || break
    sleep 0.1
  done
  COMPONENTS=$components READY_SECONDS=2 "$source/scripts/run.sh" >"$output" 2>&1 &
  run=$!
  for _ in $(seq 1800); do # make run checks the components first: that takes a while under load
    grep -qF "$2" "$output" && return 0
    sleep 0.1
  done
  cat "$output"
  echo "make run never said: $2"
  kill $run
  exit 1
}

expect() { # what, text, pattern
  grep -qE "$3" <<<"$2" || { echo "$2"; echo "$1"; exit 1; }
}

start '[ShellMain]\nsignal_gate=gate_never_opened\n' \
      "the shell is not ready after 2 s: modcore.dll: ShellMain has not signalled"
[ -f "$build/run/clock.rc" ] && [ ! -f "$build/run/build.ninja" ] || { cat "$output"; echo "staged the wrong files"; exit 1; }
expect "make run did not say where the desktop is drawn" "$(head -3 "$output")" "^\[run\] no DISPLAY: Wine's null driver"
# The prefix it is given, the tests' own: never the one the launcher's tests share.
[ -z "${WINE_RUN_PREFIX:-}" ] || [ "$(cat "$build/run/.prefix")" = "$WINE_RUN_PREFIX" ] ||
  { echo "make run ran in $(cat "$build/run/.prefix"), not in the prefix it was given, $WINE_RUN_PREFIX"; exit 1; }
expect "make stop did not end it" "$(STOP_SECONDS=2 "$source/scripts/run.sh" --stop)" "did not quit within 2 s: ended it"
wait $run || true
expect "make run did not say the launcher was ended" "$(cat "$output")" \
       "^\[run\] launcher.exe did not quit: make stop ended it \(exit code 1\)$"
expect "a second make stop did not say so" "$("$source/scripts/run.sh" --stop)" "nothing to stop"

# The watcher says a box it sees; make stop, which answers it, always says it.
start '[ShellMain]\nmode=ignore\ndelay=60000\nsay=[stand-in] in ShellMain, \\"quoted\\"\n' "shell ready"
expect "make stop did not answer the notice" "$(STOP_SECONDS=30 "$source/scripts/run.sh" --stop)" \
       'answered the box "Brevant - Notice!": The Tarvek Module System thread is being forcefully terminated'
wait $run || true
expect "make run did not end" "$(cat "$output")" "^\[run\] launcher.exe exited with code 0"
expect "make run did not show what the component said" "$(cat "$output")" '^\[stand-in\] in ShellMain, \\"quoted\\"$'
echo "make run says what holds it and every box; make stop answers a notice and ends what does not quit"
