#!/bin/bash
# Turns a commit into the release files in build/release/:
#   VeltaAI.exe, Uninstall.exe  signed
#   VeltaAI-setup.exe           packs the signed programs and its own signed
#                               uninstaller, and is signed itself
#   SHA256SUMS
# The commit is built from scratch in build/release-src (scripts/build-commit.sh)
# and released by its own scripts. Each program is signed before it is packed,
# so that every signature stays valid: the two programs, then the uninstaller
# as makensis writes it (!uninstfinalize), then the setup (!finalize). The
# certificate comes from the environment (see scripts/sign.sh); without
# VELTA_SIGN_PFX the files are unsigned, and the script says so.
#
# Usage: scripts/release.sh [REVISION]   (default HEAD)
#        scripts/release.sh --from BUILD_DIR OUT_DIR
#            signs and packs a windows build of this folder's sources into
#            OUT_DIR, staged in OUT_DIR-stage
set -eu
cd "$(dirname "$0")/.."
if [ "${1:-}" != --from ]; then
    bash scripts/build-commit.sh release-src "${1:-HEAD}"
    exec bash build/release-src/scripts/release.sh --from "$PWD/build/release-src/build/windows" \
        "$PWD/build/release"
fi
if [ $# != 3 ]; then
    echo "usage: scripts/release.sh [REVISION] | --from BUILD_DIR OUT_DIR" >&2
    exit 2
fi
build=$(cd "$2" && pwd)
mkdir -p "$3"
out=$(cd "$3" && pwd)
stage=$out-stage

files=(VeltaAI.exe Uninstall.exe VeltaAI-setup.exe SHA256SUMS)
clear_out() { (cd "$out" && rm -f "${files[@]}"); }
clear_out
trap clear_out EXIT # a release that fails leaves no files behind

bash scripts/stage.sh "$build" "$stage" >/dev/null
sign=()
if [ -n "${VELTA_SIGN_PFX:-}" ]; then
    echo "release: signing with $VELTA_SIGN_PFX${VELTA_SIGN_TIMESTAMP_URL:+, timestamps from $VELTA_SIGN_TIMESTAMP_URL}"
    bash scripts/sign.sh "$stage/VeltaAI.exe" "$stage/Uninstall.exe"
    sign=("-DSIGN=bash \"$PWD/scripts/sign.sh\"")
else
    echo "release: no certificate (VELTA_SIGN_PFX is not set): the release files are NOT signed" >&2
fi
makensis -V2 -WX -INPUTCHARSET UTF8 "${sign[@]}" -DSTAGE="$stage" \
    -DOUTFILE="$out/VeltaAI-setup.exe" installer/VeltaAI.nsi
cp "$stage/VeltaAI.exe" "$stage/Uninstall.exe" "$out/"
(cd "$out" && sha256sum "${files[@]:0:3}" >SHA256SUMS)
trap - EXIT

echo "release: $out"
for f in "${files[@]:0:3}"; do
    printf '  %-18s %9d bytes\n' "$f" "$(stat -c %s "$out/$f")"
done
