#!/bin/bash
# Fuzzes the conversion of raw registry data into settings values.
# Usage: scripts/fuzz-settings.sh [SECONDS] [FUZZER]   (default 300 s, build/linux's fuzzer)
set -eu
seconds=${1:-300}
root=$(cd "$(dirname "$0")/.." && pwd)
fuzzer=${2:-}
if [ -z "$fuzzer" ]; then
    [ -f "$root/build/linux/build.ninja" ] || cmake --preset linux -S "$root" >/dev/null
    cmake --build "$root/build/linux" --target settings_fuzz
    fuzzer=$root/build/linux/bin/settings_fuzz
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
# A few shapes to start from: the type byte, then the data.
printf '\001a\000b\000\000\000' >"$work/corpus/sz"
printf '\007a\000\000\000b\000\000\000\000\000' >"$work/corpus/multi"
printf '\004\001\002\003\004' >"$work/corpus/dword"
printf '\010\001\002\003\004\005\006\007\010' >"$work/corpus/qword"
printf '\003\303\250\342\202\254' >"$work/corpus/utf8"
artifacts=${TMPDIR:-/tmp}/settings-fuzz-
if "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -max_len=4096 \
    -artifact_prefix="$artifacts" "$work/corpus" >"$work/log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$work/log"
else
    tail -n 60 "$work/log"
    echo "fuzzer failed; the crashing input is in ${artifacts}*" >&2
    exit 1
fi
