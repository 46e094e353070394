#!/bin/bash
# Usage: wine-run.sh BUILD_DIR PROGRAM.exe [ARGS...]
# Runs a Windows program under 64-bit Wine in a prefix of BUILD_DIR, which is
# created once and quietly. Without a DISPLAY it starts one shared Xvfb with
# openbox (scripts/x-display.sh) and records it in BUILD_DIR.
# Stop both with: wine-run.sh BUILD_DIR --stop
# wine-run.sh BUILD_DIR --init makes the prefix and the display, prints the
# display's name and runs nothing; --prefix prints the prefix's folder.
#
# Two Wines: Debian 12's own Wine 8 (the default), and with VELTA_WINE=10
# Debian 13's Wine 10 from the root that scripts/wine10-root.sh makes, the one
# with the POSIX deletion of Windows 10 and later. Wine 8 keeps its prefix,
# display and wineserver in BUILD_DIR, Wine 10 in BUILD_DIR/wine10.
#
# Tests delete folders, and a Wine prefix normally reaches the host: drive Z:
# is the host's /, \\?\unix\ paths name any host file, and the profile's
# Documents, Desktop, ... link to $HOME. So the prefix gets a private HOME, real
# profile folders, and instead of Z: only drive D:, the build folder (where the
# programs under test are); and every Wine process (the wineserver, which does
# the actual deleting, included) runs in a bubblewrap sandbox that sees the
# host read-only except BUILD_DIR and the folders in VELTA_WINE_RW
# (colon-separated). Wine 10's sandbox sees the Debian 13 root's /usr and /etc
# instead of the host's.
set -u
build=$(cd "$1" && pwd)
shift
case "${VELTA_WINE:-8}" in
8) state=$build ;;
10)
    state=$build/wine10
    system=$(bash "$(dirname "$0")/../scripts/wine10-root.sh" --print-root)
    if [ -z "$system" ]; then
        echo "wine-run: no Wine 10 root: run scripts/wine10-root.sh" >&2
        exit 1
    fi
    ;;
*)
    echo "wine-run: VELTA_WINE is 8 or 10, not ${VELTA_WINE}" >&2
    exit 1
    ;;
esac

export WINEPREFIX="$state/wineprefix"
if [ "${1:-}" = --prefix ]; then
    echo "$WINEPREFIX"
    exit 0
fi
export WINEARCH=win64
# Quiet, unless a test asks for a trace channel (VELTA_WINEDEBUG=+reg, say).
export WINEDEBUG=${VELTA_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINELOADER=/usr/lib/wine/wine64
export HOME="$state/wine-home" XDG_CACHE_HOME="$state/wine-home/.cache"
wine=/usr/lib/wine/wine64
mkdir -p "$state"

# Debian's Wines keep the wineserver's socket in a folder they make below
# TMPDIR (/tmp when unset) and note in the prefix; every sandbox must see the
# same one. It is the build's own folder, mounted there: a server of another
# build is never reached. The X sockets are shared with the host.
server_dir=$state/wineserver
mkdir -p -m 700 "$server_dir"
mkdir -p -m 1777 /tmp/.X11-unix
if [ "${VELTA_WINE:-8}" = 10 ]; then
    sandbox=(bwrap --ro-bind "$system/usr" /usr --ro-bind "$system/etc" /etc
        --symlink usr/bin /bin --symlink usr/lib /lib --symlink usr/lib64 /lib64
        --symlink usr/sbin /sbin --ro-bind /etc/passwd /etc/passwd --ro-bind /etc/group /etc/group
        --ro-bind /sys /sys)
    # /sys: without it Wine 10 gives every volume serial 0, and the guard
    # could tell no folder by its identity.
    # The CJK fonts that stand in for SimSun, onto the folder the root keeps for them.
    fonts=/usr/share/fonts/opentype/noto
    [ -d "$fonts" ] && sandbox+=(--ro-bind "$fonts" "$fonts")
    wine_fonts=$system/usr/share/wine/fonts
    # With a display Wine 10 aborts at start (free(): invalid pointer) whenever
    # TMPDIR is set, so its /tmp is the socket folder; and it wants
    # XDG_RUNTIME_DIR.
    unset TMPDIR
    export XDG_RUNTIME_DIR=$state/runtime
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    sandbox+=(--bind "$server_dir" /tmp)
else
    sandbox=(bwrap --ro-bind / / --tmpfs /tmp --bind "$server_dir" "$server_dir")
    wine_fonts=/usr/share/wine/fonts
    export TMPDIR=$server_dir
fi
sandbox+=(--dev-bind /dev /dev --proc /proc --bind /tmp/.X11-unix /tmp/.X11-unix)
sandbox+=(--bind "$build" "$build")
IFS=: read -r -a extra <<<"${VELTA_WINE_RW:-}"
for dir in "${extra[@]}"; do
    [ -n "$dir" ] && sandbox+=(--bind "$dir" "$dir")
done
sandboxed() { "${sandbox[@]}" "$@"; }

exec 9>"$state/wine-run.lock"
flock 9

if [ "${1:-}" = --stop ]; then
    [ -d "$WINEPREFIX" ] && sandboxed wineserver -k 2>/dev/null
    if [ -f "$state/xvfb.pids" ]; then
        kill $(cat "$state/xvfb.pids") 2>/dev/null
        rm -f "$state/xvfb.pids" "$state/xvfb.display"
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
    ln -s "$(realpath --relative-to="$WINEPREFIX/dosdevices" "$build")" "$WINEPREFIX/dosdevices/d:"
    for link in "$WINEPREFIX"/drive_c/users/*/* "$WINEPREFIX"/drive_c/users/*/AppData/*/Microsoft/Windows/*; do
        if [ -L "$link" ]; then
            rm "$link"
            mkdir "$link"
        fi
    done
    # Without Wine's own fonts, dialogs fall back to a serif face.
    cp "$wine_fonts"/* "$WINEPREFIX/drive_c/windows/Fonts/"
    touch "$WINEPREFIX/.ready"
fi

if [ -z "${DISPLAY:-}" ]; then
    display=""
    if [ -f "$state/xvfb.display" ]; then
        display=$(cat "$state/xvfb.display")
        xdpyinfo -display "$display" >/dev/null 2>&1 || display=""
    fi
    if [ -z "$display" ]; then
        read -r display xvfb wm < <(bash "$(dirname "$0")/../scripts/x-display.sh" 1280x1024)
        [ -n "$display" ] || exit 1
        echo "$xvfb $wm" >"$state/xvfb.pids"
        echo "$display" >"$state/xvfb.display"
    fi
    export DISPLAY=$display
fi

# A client starts the wineserver with no grace time, so every program would
# pay for a fresh Wine session (seconds); this one stays 30 s after the last
# client. Neither it nor the session processes that the first program of a
# fresh server starts (services.exe and others, living as long as the server)
# may hold a caller's output open, or a caller reading it to the end would wait
# for the server to go: so a program of the runner's own starts them.
#
# Once its 30 s are up the server takes seconds to shut down, still holding its
# lock: a program started then finds its connection refused and starts a
# server of its own after retries (seconds, holding the program's output), or,
# connecting just as the server stops listening, ends at once without a word.
# So the runner first connects itself: a server that accepts has a client, and
# its 30 s start over when the probe leaves; a server that does not is waited
# for to end, and a new one started.
server_accepts() {
    local socket
    socket=$(find "$server_dir" -maxdepth 3 -name socket -type s -print -quit)
    # perl-base's Socket: it starts in milliseconds. Accepted, the server
    # sends its protocol version first.
    [ -n "$socket" ] && (cd "$(dirname "$socket")" && perl -MSocket -e '
        socket(my $s, AF_UNIX, SOCK_STREAM, 0) || exit 1;
        connect($s, pack_sockaddr_un("socket")) || exit 1;
        my $ready = "";
        vec($ready, fileno($s), 1) = 1;
        exit(select($ready, undef, undef, 10) && sysread($s, my $version, 4) == 4 ? 0 : 1)')
}
if ! server_accepts; then
    sandboxed wineserver -w </dev/null >/dev/null 2>&1
    if sandboxed wineserver -p30 </dev/null >/dev/null 2>&1; then
        sandboxed "$wine" cmd /c exit </dev/null >/dev/null 2>&1
    fi
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
    IFS= read -r -t 0.2 -u 4 line
    status=$?
    if [ $status -eq 0 ]; then
        printf '%s\n' "$line" >&2
        continue
    fi
    [ -n "$line" ] && printf '%s' "$line" >&2 # a last line without its end
    # The end of the pipe, or a quiet pipe once the program has ended.
    if [ $status -le 128 ] || ! kill -0 $program 2>/dev/null; then
        break
    fi
done
wait $program
