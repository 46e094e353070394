# Sourced by the demo and benchmark scripts. Installs build/stage/ into the
# Wine prefix of the Windows build, as the setup program would install it for
# one user, and looks after the display:
#   build, stage     the Windows build folder and the staged installation
#   prefix_c         the prefix's C: drive on the host
#   install, install_win   the installation folder, on the host and as Windows names it
#   display          the display the programs run on; headless is "yes" when it
#                    is the runner's virtual one, which is stopped on exit
#   shoot FILE [WINDOW]    screenshot of a window with its frame (default: the screen)
build=$PWD/${BUILD_DIR:-build/windows}
stage=$PWD/build/stage
runner=$PWD/cmake/wine-run.sh

[ -f "$stage/Uninstall.exe" ] || bash scripts/stage.sh "$build"
headless=yes
[ -n "${DISPLAY:-}" ] && headless=no
[ -f "$build/xvfb.display" ] && headless=no # someone else's: leave it running
display=$("$runner" "$build" --init)
[ $headless = yes ] && trap '"$runner" "$build" --stop' EXIT

prefix_c=$build/wineprefix/drive_c
user=$(id -un)
install=$prefix_c/users/$user/AppData/Local/Programs/VeltaAI
install_win="C:\\users\\$user\\AppData\\Local\\Programs\\VeltaAI"
rm -rf "$install"
mkdir -p "$install"
cp -r "$stage/." "$install/"
echo "Installed $stage into the Wine prefix: $install_win"

shoot() {
    local out=$1 window=${2:-root}
    # The window with the frame that openbox draws around it.
    local parent
    while [ "$window" != root ]; do
        parent=$(xwininfo -display "$display" -tree -id "$window" | awk '/Parent window id/ {print $4, $5}')
        case "$parent" in
        *"(the"*) break ;; # its parent is the root window
        0x[1-9a-f]*) window=${parent%% *} ;;
        *) window=root ;; # gone: the whole screen instead
        esac
    done
    import -display "$display" -window "$window" "$out"
    echo "Screenshot: $out"
}
