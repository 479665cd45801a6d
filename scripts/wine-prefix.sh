#!/usr/bin/env bash
# wine-prefix.sh PREFIX [win32|win64]: creates the Wine prefix once (wineboot,
# null graphics driver); later calls return at once. Serialised with a lock,
# since tests start in parallel.
set -eu
prefix=$(realpath -m "$1")
arch=${2:-win32}
[ -f "$prefix/.ready" ] && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.ready" ] && exit 0
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -w
touch "$prefix/.ready"
