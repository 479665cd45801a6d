#!/usr/bin/env bash
# Creates the Wine prefix named by $1 once (wineboot, null graphics driver);
# later calls return at once. Serialised with a lock, since tests start in parallel.
set -eu
prefix=$1
loader=${2:-wine}
[ -f "$prefix/.ready" ] && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.ready" ] && exit 0
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ "$loader" = wine ] && export WINEARCH=win32
wineboot -i >/dev/null 2>&1
"$loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -w
touch "$prefix/.ready"
