#!/bin/bash
# Uninstall.exe under Wine, measured side by side; prints figures, asserts nothing.
#  - removal: identical trees (FILES files of 200 bytes in FOLDERS folders), one
#    removed by Uninstall.exe (model data ticked, timed from the confirming key
#    to the process end), one by a bare FindFirstFileW / DeleteFileW /
#    RemoveDirectoryW loop (bench_remove_tree.exe, the floor: timed around the
#    program, less the time it takes on a missing folder), one by Wine's
#    "cmd /c rd /s /q" (timed around the command, less the time "cmd /c exit"
#    takes);
#  - start: from the process start to its window on screen, Uninstall.exe
#    against a bare Qt window built with the same Qt (bench_window.exe: the
#    window's title and size, the form's check box texts).
# "window" runs only the start, RUNS times (default 7) after one unmeasured
# start of each, and adds where the start goes: the stages that the timed builds
# of the same sources (Uninstall_timed.exe, bench_window_timed.exe; see
# uninstaller/tests/timed_start.h) note, from the script's start of each, medians.
# Usage: scripts/bench-uninstall.sh [RUNS] [FILES] [FOLDERS]   (defaults: 3 20000 200)
#        scripts/bench-uninstall.sh window [RUNS]
set -eu
cd "$(dirname "$0")/.."
mode=all
if [ "${1:-}" = window ]; then
    mode=window
    shift
fi
runs=${1:-3}
files=${2:-20000}
folders=${3:-200}
cmake --build build/windows --target Uninstall Uninstall_timed bench_window bench_window_timed \
    bench_remove_tree >/dev/null
source scripts/demo-common.sh
install_copy
# The staged copy may be older than the build.
cp "$build"/bin/{Uninstall,Uninstall_timed,bench_window,bench_window_timed,bench_remove_tree}.exe \
    "$install/"
export DISPLAY=$display
bench=$prefix_c/bench

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
make_tree() {
    python3 - "$1" "$files" "$folders" <<'PY'
import os, sys
root, files, folders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(files):
    folder = os.path.join(root, "d%03d" % (i % folders))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(b"x" * 200)
PY
}
# Starts a program in the installation folder and waits for its window: sets
# app, window and shown (seconds from the start to the window).
# Its standard output goes to the file $out when set.
start_shown() {
    local class=$1
    shift
    t0=$(now)
    (cd "$install" && exec "$runner" "$build" "$@" >"${out:-/dev/null}" 2>/dev/null) &
    app=$!
    # Polled often: xdotool's own --sync looks only every half second.
    window=$(window_poll=0.01 wait_window "$class" 60)
    shown=$(elapsed "$t0" "$(now)")
}

# A key sent while the program still starts may be lost: sent again until it ends.
close_shown() {
    local _
    for _ in $(seq 30); do
        xdotool windowactivate --sync "$window" key alt+F4 2>/dev/null || true
        for _ in $(seq 20); do
            kill -0 $app 2>/dev/null || break 2
            sleep 0.1
        done
    done
    wait $app || true
}
m() { printf '%s\n' "$@" | median; }
start_ours=()
start_bare=()

reg delete "$key" /f >/dev/null 2>&1 || true
reg add "$key" /v servicepath /t REG_SZ /d 'C:\bench\tree' /f >/dev/null

if [ $mode = window ]; then
    runs=${1:-7}
    # The stages: name, from mark, to mark ("t0" the script's start, "seen" the
    # window found); the bare window notes only those of timed_start.h.
    stages=("Wine starts the process|t0|created" "process start to QCoreApplication|created|app"
        "to the native window (in show())|app|native" "polish|native|polish"
        "rest of show(), to the first paint|polish|paint" "first paint|paint|painted"
        "total to first paint|t0|painted" "window found by the script|t0|seen"
        "processor time of the process to then|cpu|"
        "  uninstaller: to its entry|created|main" "  to setupUi (QApplication)|main|window"
        "  form (setupUi)|window|form" "  title, size, flags, icon|form|icon"
        "  to the first settings read|icon|registry" "  settings read (two values)|registry|read"
        "  texts, connections, native window|read|native" "  polish to show() returned|polish|shown"
        "  show() returned to first paint|shown|paint")
    marks=$(mktemp)
    declare -A spans
    # Starts a timed build, waits for its marks and adds its spans under KEY.
    timed_run() {
        local key=$1 class=$2 exe=$3 pair
        : >"$marks"
        out=$marks start_shown "$class" "$exe"
        for _ in $(seq 100); do grep -q '^timed' "$marks" && break; sleep 0.1; done
        close_shown
        [ "$run" = 0 ] && return # the unmeasured start: Wine's caches
        declare -A at=([t0]=0 [seen]=$shown)
        for pair in $(grep '^timed' "$marks" | tr -d '\r' | cut -d' ' -f2-); do
            case $pair in
            cpu=*) spans[${key}cpu]+=" $(echo "${pair#*=} / 1000000" | bc -l)" ;;
            *=0) ;;
            *) at[${pair%%=*}]=$(echo "${pair#*=} / 1000000 - $t0" | bc -l) ;;
            esac
        done
        for stage in "${stages[@]}"; do
            IFS='|' read -r name from to <<<"$stage"
            [ -n "${at[$from]:-}" ] && [ -n "${at[$to]:-}" ] &&
                spans[$key$name]+=" $(echo "${at[$to]} - ${at[$from]}" | bc -l)"
        done
        return 0
    }
    for run in 0 $(seq "$runs"); do
        start_shown uninstall.exe Uninstall.exe
        ours=$shown
        close_shown
        start_shown bench_window.exe bench_window.exe
        bare=$shown
        close_shown
        timed_run ours uninstall_timed.exe Uninstall_timed.exe
        timed_run bare bench_window_timed.exe bench_window_timed.exe
        [ "$run" = 0 ] && continue
        start_ours+=("$ours")
        start_bare+=("$bare")
        echo "run $run: Uninstall.exe $ours s, bare $bare s" >&2
    done
    rm -f "$marks"
    so=$(m "${start_ours[@]}")
    sb=$(m "${start_bare[@]}")
    echo "Start to window shown under Wine, median of $runs (load: $(uptime | sed 's/.*load/load/')):"
    printf '  Uninstall.exe          %6.2f s\n' "$so"
    printf '  bare Qt window         %6.2f s\n' "$sb"
    printf '  ratio                  %6.2f\n' "$(echo "$so / $sb" | bc -l)"
    echo "Where the start goes (the timed builds of each), medians:"
    printf '  %-38s %9s %9s\n' "" Uninstall bare
    for stage in "${stages[@]}"; do
        IFS='|' read -r name from to <<<"$stage"
        row=()
        [ "$from" = cpu ] && name=cpu
        for key in ours bare; do
            # shellcheck disable=SC2086
            if [ -n "${spans[$key$name]:-}" ]; then
                row+=("$(printf '%7.3f s' "$(m ${spans[$key$name]})")")
            else
                row+=("-")
            fi
        done
        IFS='|' read -r name _ <<<"$stage"
        printf '  %-38s %9s %9s\n' "$name" "${row[@]}"
    done
    exit 0
fi

base=()
rd=()
bare_base=()
bare=()
ours=()
for run in $(seq "$runs"); do
    rm -rf "$bench"
    make_tree "$bench/tree"
    make_tree "$bench/copy"
    make_tree "$bench/bare"
    sync

    t0=$(now)
    "$runner" "$build" cmd /c exit
    t1=$(now)
    base+=("$(elapsed "$t0" "$t1")")
    t0=$(now)
    "$runner" "$build" cmd /c rd /s /q 'C:\bench\copy'
    t1=$(now)
    rd+=("$(elapsed "$t0" "$t1")")

    t0=$(now)
    (cd "$install" && "$runner" "$build" bench_remove_tree.exe 'C:\bench\missing') || true
    t1=$(now)
    bare_base+=("$(elapsed "$t0" "$t1")")
    t0=$(now)
    (cd "$install" && "$runner" "$build" bench_remove_tree.exe 'C:\bench\bare')
    t1=$(now)
    bare+=("$(elapsed "$t0" "$t1")")

    start_shown uninstall.exe Uninstall.exe
    start_ours+=("$shown")
    xdotool windowactivate --sync "$window"
    sleep 0.3
    # Tick the model data (fourth in the focus chain), go to the confirm button.
    xdotool key --delay 50 Tab Tab Tab space Tab Tab
    t0=$(now)
    xdotool key space
    wait $app || true
    t1=$(now)
    ours+=("$(elapsed "$t0" "$t1")")
    [ -e "$bench/tree" ] && echo "run $run: the tree is still there" >&2

    start_shown bench_window.exe bench_window.exe
    start_bare+=("$shown")
    close_shown
    echo "run $run: Uninstall.exe ${ours[-1]} s, bare loop ${bare[-1]} s, rd ${rd[-1]} s; windows ${start_ours[-1]} s, bare ${start_bare[-1]} s" >&2
done
rm -rf "$bench"

b=$(m "${base[@]}")
r=$(echo "$(m "${rd[@]}") - $b" | bc)
l=$(echo "$(m "${bare[@]}") - $(m "${bare_base[@]}")" | bc)
o=$(m "${ours[@]}")
so=$(m "${start_ours[@]}")
sb=$(m "${start_bare[@]}")
echo "Removal of $files files of 200 B in $folders folders under Wine, median of $runs:"
printf '  Uninstall.exe          %6.2f s\n' "$o"
printf '  bare loop              %6.2f s  (%.2f s around the program, less %.2f s on a missing folder)\n' "$l" "$(m "${bare[@]}")" "$(m "${bare_base[@]}")"
printf '  cmd /c rd /s /q        %6.2f s  (%.2f s around the command, less %.2f s for cmd /c exit)\n' "$r" "$(m "${rd[@]}")" "$b"
printf '  ratio Uninstall.exe / bare loop  %.2f\n' "$(echo "$o / $l" | bc -l)"
printf '  ratio Uninstall.exe / rd         %.2f\n' "$(echo "$o / $r" | bc -l)"
echo "Start to window shown, median of $runs:"
printf '  Uninstall.exe          %6.2f s\n' "$so"
printf '  bare Qt window         %6.2f s\n' "$sb"
printf '  ratio                  %6.2f\n' "$(echo "$so / $sb" | bc -l)"
