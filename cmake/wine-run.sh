#!/bin/bash
# Usage: wine-run.sh BUILD_DIR PROGRAM.exe [ARGS...]
# Runs a Windows program under 64-bit Wine in BUILD_DIR/wineprefix, which is
# created once and quietly. Without a DISPLAY it starts one shared Xvfb (with
# openbox, so close requests such as Alt+F4 work) and records it in BUILD_DIR.
# Stop both with: wine-run.sh BUILD_DIR --stop
# wine-run.sh BUILD_DIR --init makes the prefix and the display, prints the
# display's name and runs nothing.
#
# Tests delete folders, and a Wine prefix normally reaches the host: drive Z:
# is the host's /, \\?\unix\ paths name any host file, and the profile's
# Documents, Desktop, ... link to $HOME. So the prefix gets a private HOME, real
# profile folders, and instead of Z: only drive D:, the build folder (where the
# programs under test are); and every Wine process (the wineserver, which does
# the actual deleting, included) runs in a bubblewrap sandbox that sees the
# host read-only except BUILD_DIR and the folders in VELTA_WINE_RW
# (colon-separated).
set -u
build=$(cd "$1" && pwd)
shift

export WINEPREFIX="$build/wineprefix"
export WINEARCH=win64
# Quiet, unless a test asks for a trace channel (VELTA_WINEDEBUG=+reg, say).
export WINEDEBUG=${VELTA_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINELOADER=/usr/lib/wine/wine64
export HOME="$build/wine-home" XDG_CACHE_HOME="$build/wine-home/.cache"
wine=/usr/lib/wine/wine64

# The wineserver's socket folder and the X sockets are shared with the host.
# Debian's Wine keeps the socket in a folder below TMPDIR and notes its name in
# the prefix; every sandbox must see the same one.
server_dir=/tmp/.wine-$(id -u)
mkdir -p -m 700 "$server_dir"
export TMPDIR=$server_dir
mkdir -p -m 1777 /tmp/.X11-unix
sandbox=(bwrap --ro-bind / / --dev-bind /dev /dev --proc /proc --tmpfs /tmp
    --bind "$server_dir" "$server_dir" --bind /tmp/.X11-unix /tmp/.X11-unix
    --bind "$build" "$build")
IFS=: read -r -a extra <<<"${VELTA_WINE_RW:-}"
for dir in "${extra[@]}"; do
    [ -n "$dir" ] && sandbox+=(--bind "$dir" "$dir")
done
sandboxed() { "${sandbox[@]}" "$@"; }

exec 9>"$build/wine-run.lock"
flock 9

if [ "${1:-}" = --stop ]; then
    [ -d "$WINEPREFIX" ] && sandboxed wineserver -k 2>/dev/null
    if [ -f "$build/xvfb.pids" ]; then
        kill $(cat "$build/xvfb.pids") 2>/dev/null
        rm -f "$build/xvfb.pids" "$build/xvfb.display"
    fi
    exit 0
fi

if [ ! -f "$WINEPREFIX/.ready" ]; then
    rm -rf "$WINEPREFIX" "$HOME"
    mkdir -p "$HOME"
    # A prefix is marked ready only once it is: a failed wineboot stops here
    # and the next run starts over.
    if ! sandboxed "$wine" wineboot -i >/dev/null 2>&1 || ! sandboxed wineserver -w; then
        echo "wine-run: wineboot failed in $WINEPREFIX" >&2
        exit 1
    fi
    # No crash dialog: a crashing test must fail, not wait for a click.
    sandboxed "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    # Wine keeps host variables that start with QT_ from Windows programs, and
    # Qt without a console logs to the debugger channel.
    sandboxed "$wine" reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /t REG_SZ /d 1 /f >/dev/null 2>&1
    # Chinese dialogs (the setup's wizard, message boxes) ask for SimSun, which
    # Chinese Windows has and Wine lacks: Noto Sans CJK stands in for it.
    for face in SimSun 宋体; do
        sandboxed "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ /d 'Noto Sans CJK SC' /f >/dev/null 2>&1
    done
    sandboxed wineserver -w
    rm -f "$WINEPREFIX/dosdevices/z:"
    ln -s ../.. "$WINEPREFIX/dosdevices/d:"
    for link in "$WINEPREFIX"/drive_c/users/*/* "$WINEPREFIX"/drive_c/users/*/AppData/*/Microsoft/Windows/*; do
        if [ -L "$link" ]; then
            rm "$link"
            mkdir "$link"
        fi
    done
    # Without Wine's own fonts, dialogs fall back to a serif face.
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
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
        # Under load openbox can fail to connect right after Xvfb answers: start it again.
        wm=""
        for _ in $(seq 200); do
            DISPLAY=$display xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
            if [ -z "$wm" ] || ! kill -0 "$wm" 2>/dev/null; then
                DISPLAY=$display setsid openbox >/dev/null 2>&1 </dev/null &
                wm=$!
            fi
            sleep 0.05
        done
        echo "$xvfb $wm" >"$build/xvfb.pids"
        echo "$display" >"$build/xvfb.display"
    fi
    export DISPLAY=$display
fi

# A client starts the wineserver with no grace time, so every program would
# pay for a fresh Wine session (seconds); this one stays 30 s after the last
# client. It exits at once (with 2) when a server already runs. Neither it nor
# the session processes that the first program of a fresh server starts
# (services.exe and others, living as long as the server) may hold a caller's
# output open, or a caller reading it to the end would wait for the server to
# go: so a program of the runner's own starts them.
if sandboxed wineserver -p30 </dev/null >/dev/null 2>&1; then
    sandboxed "$wine" cmd /c exit </dev/null >/dev/null 2>&1
fi
flock -u 9
exec 9>&-
# A working folder outside the drives would start the program in C:\windows
# anyway, with a warning.
case "$PWD/" in
"$build"/*) ;;
*) cd "$build" ;;
esac
if [ "${1:-}" = --init ]; then
    echo "$DISPLAY"
    exit 0
fi
# Wine's desktop process (explorer.exe /desktop) starts with the first program
# that uses the desktop and keeps that program's standard error as its own. It
# lives until no program has used the desktop for a second, which in a test run
# can be minutes after that program ended, and a caller reading the program's
# output to its end would wait for it all that time. So standard error reaches
# the caller through a relay that ends with the program.
fifo=$(mktemp -u)
mkfifo "$fifo"
exec 5<&0
"${sandbox[@]}" "$wine" "$@" <&5 5<&- 2>"$fifo" &
program=$!
exec 5<&- 4<"$fifo"
rm -f "$fifo"
trap 'kill -TERM $program 2>/dev/null' TERM INT HUP
while :; do
    if IFS= read -r -t 0.2 -u 4 line; then
        printf '%s\n' "$line" >&2
        continue
    fi
    status=$?
    [ -n "$line" ] && printf '%s' "$line" >&2 # a last line without its end
    # The end of the pipe, or a quiet pipe once the program has ended.
    if [ $status -le 128 ] || ! kill -0 $program 2>/dev/null; then
        break
    fi
done
wait $program
