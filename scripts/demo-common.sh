# Sourced by the demo and benchmark scripts. Looks after the display and
# names the per-user installation folder in the Wine prefix of the Windows
# build:
#   build, stage     the Windows build folder and the staged installation
#   shots            where screenshots go (build/setup/)
#   prefix_c         the prefix's C: drive on the host
#   install, install_win   the installation folder, on the host and as Windows names it
#   install_copy     copies build/stage/ there, as the setup program would install it
#   seed_demo_data   settings in Wine's registry and data folders inside the prefix
#   display          the display the programs run on; headless is "yes" when it
#                    is the runner's virtual one
#   window CLASS     waits for a shown window of a Windows program, gives it the
#                    keyboard and prints its id (the waits: scripts/window-wait.sh)
#   shoot FILE [WINDOW [CLASS]]   screenshot of a window with its frame
#                    (default: the screen); never fails
build=$PWD/${BUILD_DIR:-build/windows}
stage=$PWD/build/stage
shots=$PWD/build/setup
runner=$PWD/cmake/wine-run.sh
mkdir -p "$shots"
source "$PWD/scripts/window-wait.sh"

[ -f "$stage/Uninstall.exe" ] || bash scripts/stage.sh "$build"
headless=yes
[ -n "${DISPLAY:-}" ] && headless=no
# The runner's virtual display: stopped on exit when this started it, left
# running when it already ran (tests or another demo use it).
if [ $headless = yes ] && ! xdpyinfo -display "$(cat "$build/xvfb.display" 2>/dev/null)" >/dev/null 2>&1; then
    trap '"$runner" "$build" --stop' EXIT
fi
display=$("$runner" "$build" --init)

prefix_c=$("$runner" "$build" --prefix)/drive_c # Wine 8, or Wine 10 with VELTA_WINE=10
user=$(id -un)
install=$prefix_c/users/$user/AppData/Local/Programs/VeltaAI
install_win="C:\\users\\$user\\AppData\\Local\\Programs\\VeltaAI"

install_copy() {
    rm -rf "$install"
    mkdir -p "$install"
    cp -r "$stage/." "$install/"
    echo "Installed $stage into the Wine prefix: $install_win"
}

key='HKCU\Software\VeltaTech\WindowSettings'
reg() { # Wine's reg.exe: its output without CR, its exit status
    local out status=0
    out=$("$runner" "$build" reg "$@") || status=$?
    [ -z "$out" ] || printf '%s\n' "${out//$'\r'/}"
    return $status
}
appdata=$prefix_c/users/$user/AppData/Roaming
models=$prefix_c/users/$user/AppData/Local/VeltaAI/models

# Demo user data: the draft folder below APPDATA and a model folder big enough
# for the progress bar to move.
seed_demo_data() {
    rm -rf "$appdata/VeltaAI" "$models"
    mkdir -p "$appdata/VeltaAI/drafts" "$models"
    for i in $(seq 1 40); do
        head -c 20000 /dev/urandom >"$appdata/VeltaAI/drafts/draft$i.json"
    done
    for d in $(seq 1 10); do
        mkdir -p "$models/shard$d"
        (cd "$models/shard$d" && touch part{1..1000}.bin)
    done
    head -c 3000000 /dev/urandom >"$models/weights.bin"

    reg delete "$key" /f >/dev/null 2>&1 || true
    reg add "$key" /v draftdirsize /t REG_SZ /d "$(du -sm "$appdata/VeltaAI" | cut -f1)MB" /f >/dev/null
    reg add "$key" /v modelsize /t REG_SZ /d "$(du -sm "$models" | cut -f1)MB" /f >/dev/null
    reg add "$key" /v servicepath /t REG_SZ /d "C:\\users\\$user\\AppData\\Local\\VeltaAI\\models" /f >/dev/null
    reg add "$key" /v token /t REG_SZ /d demo-token /f >/dev/null
    echo "Demo settings in Wine's registry:"
    reg query "$key"
}

report_data() {
    echo "Settings afterwards:"
    if reg query "$key" >/dev/null 2>&1; then reg query "$key"; else echo "    (the settings key is gone)"; fi
    for f in "$appdata/VeltaAI" "$models"; do
        if [ -e "$f" ]; then echo "kept:    $f"; else echo "removed: $f"; fi
    done
}

window() {
    local -x DISPLAY=$display
    local w end=$((SECONDS + 60))
    # A window can close between being found and being activated (a wizard
    # page, a splash): then it is looked for again.
    while w=$(wait_window "$1" $((end > SECONDS ? end - SECONDS : 1))); do
        if timeout 10 xdotool windowactivate --sync "$w" 2>/dev/null; then
            sleep 0.5 # focus reaches the first control
            echo "$w"
            return 0
        fi
        if [ $SECONDS -ge $end ]; then
            echo "no window of $1 took the keyboard" >&2
            return 1
        fi
        sleep 0.1
    done
    return 1
}

# The window that openbox frames (WINDOW or an ancestor below the root);
# fails when WINDOW is gone.
frame_of() {
    local window=$1 parent
    while :; do
        parent=$(xwininfo -display "$display" -tree -id "$window" 2>/dev/null | awk '/Parent window id/ {print $4, $5}')
        case "$parent" in
        *"(the"*) echo "$window"; return 0 ;; # its parent is the root window
        0x[1-9a-f]*) window=${parent%% *} ;;
        *) return 1 ;;
        esac
    done
}

shoot_window() {
    local frame
    frame=$(frame_of "$2") && import -display "$display" -window "$frame" "$1" 2>/dev/null &&
        window_shown "$2"
}

# A screenshot is a by-product: a window that closed first is shot again once
# a window of CLASS shows, else the screen is shot, and the log says which.
shoot() {
    local -x DISPLAY=$display
    local out=$1 window=${2:-} class=${3:-} again
    if [ -n "$window" ]; then
        if shoot_window "$out" "$window"; then
            echo "Screenshot: $out"
            return 0
        fi
        if [ -n "$class" ] && again=$(wait_window "$class" 10 2>/dev/null) &&
            shoot_window "$out" "$again"; then
            echo "Screenshot: $out (window $window had closed: the next window of $class)"
            return 0
        fi
        echo "Screenshot: $out shows the whole screen: window $window had closed"
    fi
    if import -display "$display" -window root "$out" 2>/dev/null; then
        [ -n "$window" ] || echo "Screenshot: $out"
    else
        echo "No screenshot $out: the screen could not be read"
    fi
    return 0
}
