#!/usr/bin/env bash
# wine-prefix.sh PREFIX [win32|win64]: creates the Wine prefix once (wineboot,
# null graphics driver); later calls return at once. Serialised with a lock,
# since tests start in parallel. With --warm, also starts the prefix's server
# and services, so that tests starting side by side do not wait on that.
set -eu
warm=0
[ "${1:-}" = --warm ] && { warm=1; shift; }
prefix=$(realpath -m "$1")
arch=${2:-win32}
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ -f "$prefix/.ready" ]; then
  [ $warm = 1 ] && wine cmd /c exit >/dev/null 2>&1
  exit 0
fi
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.ready" ] && exit 0
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -w
touch "$prefix/.ready"
[ $warm = 1 ] && wine cmd /c exit >/dev/null 2>&1
exit 0
