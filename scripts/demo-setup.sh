#!/bin/bash
# Install, launch, uninstall: build/setup/VeltaAI-setup.exe under Wine, over
# demo data in the prefix (never the user's own).
#
# With a DISPLAY the setup's wizard and later the uninstall open there and wait
# for you. Without one, on the runner's virtual display, the wizard installs
# into the default folder and its finish page starts VeltaAI.exe (the stand-in
# main application shows a window for a few seconds); then the uninstaller of
# the installation runs Uninstall.exe, all four options are confirmed, and the
# removal runs to its end. Screenshots: build/setup/setup-*.png.
# BUILD_DIR names another Windows build (default build/windows).
set -eu
cd "$(dirname "$0")/.."
setup=$PWD/build/setup/VeltaAI-setup.exe
if [ ! -f "$setup" ]; then
    echo "missing $setup: build the windows preset first" >&2
    exit 1
fi
source scripts/demo-common.sh
entry='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\VeltaAI'

# The setup as a download inside the prefix (Windows programs see no host folder).
downloads=$prefix_c/users/$user/Downloads
mkdir -p "$downloads"
cp "$setup" "$downloads/"
setup_win="C:\\users\\$user\\Downloads\\VeltaAI-setup.exe"
seed_demo_data
record=$prefix_c/users/$user/Temp/standin-record.txt
rm -f "$record" "$record.end"
# The stand-in learns these from its environment, through the setup and the launcher.
export VELTA_STANDIN_RECORD="C:\\users\\$user\\Temp\\standin-record.txt"
export VELTA_STANDIN_DELAY_MS=5000
export VELTA_STANDIN_WINDOW=1

report() {
    echo "Installation: $(ls "$install" 2>/dev/null | tr '\n' ' ' || true)"
    if reg query "$entry" >/dev/null 2>&1; then reg query "$entry"; else echo "(no uninstall entry)"; fi
    report_data
}
# Whether a Windows program of this prefix runs whose command line holds $1.
running() {
    local p
    for p in $(pgrep -f '\.exe'); do
        tr '\0' ' ' 2>/dev/null <"/proc/$p/cmdline" | grep -qF -- "$1" &&
            grep -qzxF "WINEPREFIX=$build/wineprefix" "/proc/$p/environ" 2>/dev/null && return 0
    done
    return 1
}
# The uninstaller copies itself to a temporary folder and ends; its copy runs on.
wait_uninstaller() { while running "_?=$install_win"; do sleep 0.2; done; }

if [ $headless = no ]; then
    echo "Opening the setup's wizard; install, and leave \"运行 VeltaAI\" ticked to launch it."
    DISPLAY=$display "$runner" "$build" "$setup_win"
    echo "Close VeltaAI when you like; uninstalling follows."
    while running "$install_win\\VeltaAI.exe"; do sleep 0.5; done
    DISPLAY=$display "$runner" "$build" "$install_win\\uninst.exe"
    sleep 1
    wait_uninstaller
    report
    exit 0
fi

export DISPLAY=$display

echo "== Install"
"$runner" "$build" "$setup_win" &
wizard=$!
w=$(window veltaai-setup.exe)
shoot "$shots/setup-wizard.png" "$w" veltaai-setup.exe
xdotool key Return # 安装: into the default folder
until reg query "$entry" >/dev/null 2>&1; do sleep 0.2; done
sleep 1
shoot "$shots/setup-finish.png" "$w" veltaai-setup.exe
xdotool key Return # 完成, with 运行 VeltaAI ticked
wait $wizard
report

echo "== Launch"
until [ -f "$record" ]; do sleep 0.1; done
echo "VeltaAI.exe started the stand-in:"
sed 's/^/  /' "$record"
sleep 1
shoot "$shots/setup-launch.png"
until [ -f "$record.end" ]; do sleep 0.2; done

echo "== Uninstall"
"$runner" "$build" "$install_win\\uninst.exe" >/dev/null 2>&1
w=$(window uninstall.exe)
xdotool key --delay 80 space Tab space Tab space Tab space
sleep 0.3
shoot "$shots/setup-uninstall.png" "$w" uninstall.exe
xdotool key --delay 80 Tab Tab space
w=$(window un.exe)
until ! reg query "$entry" >/dev/null 2>&1; do sleep 0.2; done
sleep 0.5
shoot "$shots/setup-uninstalled.png" "$w" un.exe
window un.exe >/dev/null
xdotool key Return # 关闭
wait_uninstaller
report
