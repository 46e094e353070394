#!/bin/bash
# Usage: wine-run.sh BUILD_DIR PROGRAM.exe [ARGS...]
# Runs a Windows program under 64-bit Wine in BUILD_DIR/wineprefix, which is
# created once and quietly. Without a DISPLAY it starts one shared Xvfb (with
# openbox, so close requests such as Alt+F4 work) and records it in BUILD_DIR.
# Stop both with: wine-run.sh BUILD_DIR --stop
set -u
build=$(cd "$1" && pwd)
shift

export WINEPREFIX="$build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINELOADER=/usr/lib/wine/wine64
wine=/usr/lib/wine/wine64

exec 9>"$build/wine-run.lock"
flock 9

if [ "${1:-}" = --stop ]; then
    WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null
    if [ -f "$build/xvfb.pids" ]; then
        kill $(cat "$build/xvfb.pids") 2>/dev/null
        rm -f "$build/xvfb.pids" "$build/xvfb.display"
    fi
    exit 0
fi

if [ ! -f "$WINEPREFIX/.ready" ]; then
    rm -rf "$WINEPREFIX"
    "$wine" wineboot -i >/dev/null 2>&1
    # No crash dialog: a crashing test must fail, not wait for a click.
    "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.ready"
fi

if [ -z "${DISPLAY:-}" ]; then
    display=""
    if [ -f "$build/xvfb.display" ]; then
        display=$(cat "$build/xvfb.display")
        xdpyinfo -display "$display" >/dev/null 2>&1 || display=""
    fi
    if [ -z "$display" ]; then
        fifo=$(mktemp -u)
        mkfifo "$fifo"
        setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 </dev/null &
        xvfb=$!
        read -r num <"$fifo"
        rm -f "$fifo"
        display=":$num"
        DISPLAY=$display setsid openbox >/dev/null 2>&1 </dev/null &
        echo "$xvfb $!" >"$build/xvfb.pids"
        echo "$display" >"$build/xvfb.display"
        sleep 1
    fi
    export DISPLAY=$display
fi

flock -u 9
exec 9>&-
exec "$wine" "$@"
