#!/usr/bin/env bash
# run.sh [switches...]: builds the shell, stages an installation directory
# (launcher.exe, modutil.dll, the sample components and shell.rc) and runs
# launcher.exe there under Wine. The components narrate on the terminal; the
# sample core ends the shell after CoreSeconds. Ctrl+C ends it early, cleanly:
# the launcher is asked to quit and stops every component in order.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$(nproc)" --target launcher modutil componentcheck sample_config sample_auxhost sample_modcore shellctl >/dev/null

build=build/win32
install=$build/run
rm -rf "$install"
mkdir -p "$install"
cp "$build/bin/launcher.exe" "$build/bin/modutil.dll" "$build"/bin/samples/*.dll examples/shell.rc "$install/"

wine=$build/wine-run
"$wine" --version >/dev/null # makes the prefix on first use

# What an author sees first: whether the components keep the contract.
echo "[run] componentcheck config.dll auxhost.dll modcore.dll"
(cd "$install" && "../../../$wine" "../bin/componentcheck.exe" config.dll auxhost.dll modcore.dll) ||
  echo "[run] componentcheck found faults; the shell starts all the same"

echo "[run] $install/launcher.exe $*"

# The launcher runs in a session of its own, so the terminal's Ctrl+C reaches
# only this script, which then asks the launcher to quit.
setsid -w "$wine" "$install/launcher.exe" "$@" &
launcher=$!
trap '"$wine" "$build/bin/samples/shellctl.exe" quit || true' INT TERM
"$wine" "$build/bin/samples/shellctl.exe" ready 60000 &
watcher=$!

# A trap cuts a wait short: wait until the launcher is gone, then take its status.
while kill -0 "$launcher" 2>/dev/null; do
  wait "$launcher" || true
done
wait "$launcher" && status=0 || status=$?
kill "$watcher" 2>/dev/null || true
wait "$watcher" 2>/dev/null || true
echo "[run] launcher.exe exited with code $status"
exit "$status"
