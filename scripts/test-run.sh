#!/usr/bin/env bash
# test-run.sh BUILD_DIR: make run with a core that never signals must not
# trap its user: the watcher says which component holds the start-up, make
# stop asks and then ends the launcher, and a second make stop finds nothing.
set -eu
build=$(realpath "$1")
preset=$(basename "$build")
source=$(cd "$(dirname "$0")/.." && pwd)
components=$build/run-test
rm -rf "$components"
mkdir -p "$components"
cp "$build/bin/fixtures/modcore.dll" "$components/"
printf '[ShellMain]\nsignal_gate=gate_never_opened\n' >"$components/scenario.ini"
export PRESET=$preset STOP_SECONDS=2
output=$components/run.txt
# A launcher the test before ended may take a moment to be gone.
for _ in $(seq 100); do
  "$build/wine-run" "$build/bin/shellctl.exe" running >/dev/null || break
  sleep 0.1
done

COMPONENTS=$components READY_SECONDS=2 "$source/scripts/run.sh" >"$output" 2>&1 &
run=$!
said="the shell is not ready after 2 s: modcore.dll: ShellMain has not signalled"
for _ in $(seq 600); do
  grep -qF "$said" "$output" && break
  sleep 0.1
done
grep -qF "$said" "$output" || { cat "$output"; echo "no word of the held start-up"; kill $run; exit 1; }

stop=$("$source/scripts/run.sh" --stop)
grep -q "did not quit within 2 s: ended it" <<<"$stop" || { echo "$stop"; echo "make stop did not end it"; exit 1; }
wait $run || true
grep -q "^\[run\] launcher.exe exited with code" "$output" || { cat "$output"; echo "make run did not end"; exit 1; }
stop=$("$source/scripts/run.sh" --stop)
grep -q "nothing to stop" <<<"$stop" || { echo "$stop"; echo "a second make stop did not say so"; exit 1; }
echo "make run names the component that holds it; make stop ends it"
