#!/bin/bash
# Seeds and checks the store's key with reg commands, in both directions:
# values added by reg are read through the store (settings_probe), values the
# store writes are read back by reg. The transcript must equal
# reg_roundtrip.expected both natively (the stand-in's reg) and under Wine
# (Wine's own reg.exe and Wine's registry).
# Usage: reg_roundtrip.sh native BUILD_DIR | reg_roundtrip.sh wine BUILD_DIR WINE_RUN
set -u
mode=$1
build=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
export LC_ALL=C.UTF-8
if [ "$mode" = native ]; then
    hive=$(mktemp -d)
    trap 'rm -rf "$hive"' EXIT
    export VELTA_REGISTRY_DIR=$hive
    reg_cmd=("$build/bin/reg")
    probe_cmd=("$build/bin/settings_probe")
else
    reg_cmd=("$3" "$build" reg)
    probe_cmd=("$3" "$build" "$build/bin/settings_probe.exe")
fi

key='HKCU\Software\VeltaTech\RegScript'
transcript=$(mktemp)
trap 'rm -f "$transcript"; [ -n "${hive:-}" ] && rm -rf "$hive"' EXIT

# reg's messages differ between implementations (and Wine prints its errors
# to stdout), so a failing reg records only its exit code; a succeeding one
# records its output without the success line.
reg() {
    local out rc
    out=$("${reg_cmd[@]}" "$@" 2>/dev/null)
    rc=$?
    out=$(tr -d '\r' <<<"$out")
    echo "\$ reg $*" >>"$transcript"
    if [ "$rc" -eq 0 ]; then
        grep -v 'operation completed successfully' <<<"$out" >>"$transcript"
    fi
    echo "rc=$rc" >>"$transcript"
}
probe() {
    local out rc
    out=$("${probe_cmd[@]}" "$@" 2>&1)
    rc=$?
    { echo "\$ probe $*"; [ -n "$out" ] && tr -d '\r' <<<"$out"; echo "rc=$rc"; } >>"$transcript"
}

"${reg_cmd[@]}" delete "$key" /f >/dev/null 2>&1

# reg -> store
reg query "$key"
probe get RegScript draftdirsize
reg add "$key" /v draftdirsize /t REG_SZ /d 12MB /f
reg add "$key" /v flag /t REG_DWORD /d 0x10 /f
reg add "$key" /v list /t REG_MULTI_SZ /d 'a\0b c' /f
reg add "$key" /v modelsize /t REG_EXPAND_SZ /d '%APPDATA%\m' /f
reg add "$key" /v servicepath /t REG_SZ /d 'D:\Velta Models' /f
reg add "$key" /v token /t REG_BINARY /d 736563726574 /f
reg add "$key" /v zero /t REG_BINARY /f
reg add "$key\\Child" /f
reg query "$key"
reg add "$key" /v flag /t REG_DWORD /d 4294967296 /f
probe list RegScript
reg add "$key" /v q /t REG_QWORD /d 0x100000000 /f
# Wine's reg.exe prints non-ASCII text through the console code page, so such
# text is checked through the store only.
reg add "$key" /v title /t REG_SZ /d '模型 路径' /f
probe get RegScript title
probe get RegScript token decode
probe get RegScript FLAG
probe get RegScript q

# store -> reg
probe set RegScript size text 3MB
probe set RegScript count int 7
probe set RegScript tf bool true
probe set RegScript blob bytes 00ff
probe set RegScript decoded decode 草稿
probe set RegScript empty bytes
probe set RegScript big int 4294967296
reg query "$key" /v size
reg query "$key" /v count
reg query "$key" /v tf
reg query "$key" /v blob
reg query "$key" /v decoded
reg query "$key" /v empty
reg query "$key" /v big

# deletions both ways
probe remove RegScript token
probe remove RegScript token
reg query "$key" /v token
reg delete "$key" /v size /f
probe get RegScript size
reg delete "$key" /v size /f
probe clear RegScript
reg delete "$key\\Child" /f
probe clear RegScript
reg query "$key"
probe clear RegScript
reg delete "$key" /f

if diff -u "$here/reg_roundtrip.expected" "$transcript"; then
    echo "reg script: same transcript as expected ($mode)"
else
    exit 1
fi
