#!/bin/bash
# Checks a shipped Windows program: 64-bit, GUI subsystem, stripped, the
# security flags of its header, and every DLL it imports is one that Windows
# itself provides: an API set (resolved by the system loader) or a DLL in the
# system folder of the Wine prefix.
# Usage: check-exe.sh PROGRAM.exe BUILD_DIR
set -u
exe=$1
system32=$("$(dirname "$0")/../cmake/wine-run.sh" "$2" --prefix)/drive_c/windows/system32
headers=$(x86_64-w64-mingw32-objdump -p "$exe") || exit 1
status=0
fail() { echo "FAIL: $*"; status=1; }
grep -q '^Magic.*(PE32+)' <<<"$headers" || fail "not a 64-bit program"
grep -q '^Subsystem.*(Windows GUI)' <<<"$headers" || fail "not a GUI program"
x86_64-w64-mingw32-objdump -t "$exe" | grep -q 'no symbols' || fail "not stripped"
# Static imports from System32 only; ASLR with high entropy, NX and
# terminal-server awareness.
flags=$(sed -n 's/^DllCharacteristics\s*//p' <<<"$headers")
python3 "$(dirname "$0")/../scripts/pe-load-config.py" --check "$exe" || fail "static imports not limited to System32"
for flag in HIGH_ENTROPY_VA DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE; do
    grep -q "^\s*$flag\$" <<<"$headers" || fail "DllCharacteristics $flag is not set (${flags:-none})"
done
[ -d "$system32" ] || { echo "no Wine prefix at $2: run a Windows test first"; exit 1; }
for dll in $(sed -n 's/^\s*DLL Name: //p' <<<"$headers"); do
    [[ ${dll,,} == api-ms-win-* ]] && continue
    ls "$system32" | grep -qix "$dll" || fail "imports $dll, which Windows does not provide"
done
echo "$(basename "$exe"): $(stat -c %s "$exe") bytes; imports:" $(sed -n 's/^\s*DLL Name: //p' <<<"$headers")
exit $status
