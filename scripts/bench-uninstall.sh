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
#    against a bare Qt window built with the same Qt (bench_window.exe).
# Usage: scripts/bench-uninstall.sh [RUNS] [FILES] [FOLDERS]   (defaults: 3 20000 200)
set -eu
cd "$(dirname "$0")/.."
runs=${1:-3}
files=${2:-20000}
folders=${3:-200}
cmake --build build/windows --target Uninstall bench_window bench_remove_tree >/dev/null
source scripts/demo-common.sh
install_copy
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
start_shown() {
    local class=$1 t0
    shift
    t0=$(now)
    (cd "$install" && exec "$runner" "$build" "$@" >/dev/null 2>&1) &
    app=$!
    # Polled often: xdotool's own --sync looks only every half second.
    window=$(window_poll=0.01 wait_window "$class" 60)
    shown=$(elapsed "$t0" "$(now)")
}

reg delete "$key" /f >/dev/null 2>&1 || true
reg add "$key" /v servicepath /t REG_SZ /d 'C:\bench\tree' /f >/dev/null
cp "$build/bin/bench_window.exe" "$build/bin/bench_remove_tree.exe" "$install/"
base=()
rd=()
bare_base=()
bare=()
ours=()
start_ours=()
start_bare=()
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
    xdotool windowactivate --sync "$window" key alt+F4
    wait $app || true
    echo "run $run: Uninstall.exe ${ours[-1]} s, bare loop ${bare[-1]} s, rd ${rd[-1]} s; windows ${start_ours[-1]} s, bare ${start_bare[-1]} s" >&2
done
rm -rf "$bench"

m() { printf '%s\n' "$@" | median; }
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
