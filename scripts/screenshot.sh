#!/usr/bin/env bash
# screenshot.sh [PRESET]: the README's pictures, taken as the screen test
# looks: the sample shell's desktop on a virtual screen, and the watcher's
# notice after a fallback, cropped to the box. Writes
# docs/images/sample-desktop.png and docs/images/watcher-notice.png.
set -eu
cd "$(dirname "$0")/.."
source=$PWD
preset=${1:-win64}
why=$(scripts/wine.sh status "$preset")
[ "$why" = ok ] || { echo "screenshot: the $preset build cannot run here: $why" >&2; exit 1; }
scripts/build.sh "$preset" launcher shellwatch modutil componentcheck config auxhost modcore shellctl whereis fakeshell
build=$PWD/build/$preset
. scripts/screen.sh
images=docs/images
mkdir -p "$images"
open_display
# Installed where the boxes name it as a user's would be: C:\Shell.
install=$WINE_RUN_PREFIX/drive_c/Shell
stage_sample "$install"
cp "$build/bin/fixtures/fakeshell.exe" "$install/previous-shell.exe"
trap 'wine_run "$install/shellctl.exe" quit --force-after 5000 >/dev/null 2>&1 || true; close_display' EXIT

echo "screenshot: the sample desktop"
sed -i 's/CoreSeconds [0-9]*/CoreSeconds 0/' "$install/shell.rc"
wine_run "$install/launcher.exe" >/dev/null 2>&1 &
launcher=$!
wine_run "$install/shellctl.exe" ready 60000 >/dev/null
sleep 3 # the startup items arrive one after another
shot "$images/sample-desktop.png"
wine_run "$install/shellctl.exe" quit --force-after 5000 >/dev/null
wait $launcher || true

echo "screenshot: the watcher's notice"
# A log-on whose core is gone since the install: the watcher falls back to
# the user's previous shell (a stand-in that only waits) and says so.
winlogon='HKCU\Software\Microsoft\Windows NT\CurrentVersion\Winlogon'
wine_run reg add "$winlogon" /v Shell /d 'C:\Shell\previous-shell.exe nul 600000' /f >/dev/null 2>&1
wine_run "$install/shellctl.exe" install --restarts 0 --min-run 2 >/dev/null
mv "$install/modcore.dll" "$install/modcore.dll.kept"
wine_run "$install/shellwatch.exe" --restarts 0 --min-run 2 >/dev/null 2>&1 &
watcher=$!
read -r left top right bottom < <(where box "Brevant - Previous shell started")
sleep 0.5 # drawn in full
margin=8
shot "$install/notice.png"
convert "$install/notice.png" -crop "$((right - left + 2 * margin))x$((bottom - top + 2 * margin))+$((left - margin))+$((top - margin))" \
        +repage "$images/watcher-notice.png"
read -r x y < <(where button "Brevant - Previous shell started" "OK")
click "$x" "$y"
wait $watcher || true
mv "$install/modcore.dll.kept" "$install/modcore.dll"
wine_run "$install/shellctl.exe" uninstall >/dev/null
echo "screenshot: $images/sample-desktop.png, $images/watcher-notice.png"
