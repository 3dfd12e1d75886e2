#!/bin/sh
# Creates the build's own 64-bit Wine prefix once; safe to call from parallel
# test runs. Never touches the user's home prefix.
set -eu
prefix=$1
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.ready" ] && exit 0
echo "wine-prefix: making the Wine prefix $prefix (once; 10 to 30 s)" >&2

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe="
wine wineboot -i >/dev/null 2>&1 || true
# Without a window manager under Xvfb, every hidden managed window costs ~2 s.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
# A crash must fail the test, not start a debugger that outlives it.
wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
wineserver -w
touch "$prefix/.ready"
