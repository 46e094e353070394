#!/bin/bash
# Makes the second Windows of the tests: Debian 13's Wine 10 in a minimal
# Debian 13 root (mmdebstrap), cached outside the clone. Nothing of the host
# changes; cmake/wine-run.sh runs it in a bubblewrap sandbox that takes the
# root's /usr and /etc (VELTA_WINE=10). Runs once: later calls find the cache
# and only print its path. Making it needs root (mmdebstrap unpacks as root);
# using it does not.
#
# Usage: scripts/wine10-root.sh [--print-root] [--rebuild]
#   --print-root  print the cached root (empty when missing) and make nothing
#   --rebuild     drop the cached root and make it again
set -eu
cd "$(dirname "$0")/.."

suite=trixie
# Wine and what it loads by name at run time (X extensions, fonts), which its
# packages only recommend.
packages=(wine wine64 fonts-wine libfontconfig1 libfreetype6
    libxrandr2 libxi6 libxcursor1 libxcomposite1 libxinerama1 libxext6 libxxf86vm1)
# The host's CJK fonts are bound onto this folder: the dialogs' SimSun stands
# in as Noto Sans CJK, as under Wine 8.
fonts=/usr/share/fonts/opentype/noto
key=$(printf '%s\n' "$suite" "${packages[@]}" "$fonts" | sha256sum | cut -c1-12)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/velta
root=$cache/wine10-debian13-$key

case "${1:-}" in
--print-root)
    [ -f "$root/.complete" ] && echo "$root"
    exit 0
    ;;
--rebuild) rm -rf "$root" ;;
esac
if [ -f "$root/.complete" ]; then
    echo "$root"
    exit 0
fi

# Debian 13 from the mirror the machine already uses for Debian 12.
mirror=$(apt-cache policy | awk '$3 == "bookworm/main" { print $2; exit }')
if [ -z "$mirror" ]; then
    echo "wine10-root: no Debian 12 mirror in apt's sources" >&2
    exit 1
fi
echo "wine10-root: making Debian 13 with Wine 10 into" >&2
echo "  $root" >&2
echo "This happens once and takes about 2-4 minutes and 1.1 GB; later runs reuse it." >&2

mkdir -p "$cache"
work=$(mktemp -d "$cache/wine10-root.XXXXXX")
trap 'rm -rf "$work"' EXIT
start=$(date +%s)
include=$(
    IFS=,
    echo "${packages[*]}"
)
mmdebstrap --variant=minbase --include="$include" \
    --customize-hook="mkdir -p \"\$1$fonts\"" \
    "$suite" "$work/root" "$mirror" >"$work/log" 2>&1 &
maker=$!
# A line at least every 15 s: mmdebstrap's last step and the minutes so far.
while ! timeout 15 tail --pid=$maker -f /dev/null; do
    step=$(grep '^I: ' "$work/log" | tail -n 1 | cut -c4-80)
    echo "wine10-root: ${step:-starting}, $((($(date +%s) - start) / 60)) min so far" >&2
done
if ! wait $maker; then
    echo "wine10-root: mmdebstrap failed; its last lines:" >&2
    tail -n 40 "$work/log" >&2
    exit 1
fi
mv -T "$work/root" "$root"
touch "$root/.complete"
echo "wine10-root: done in $(($(date +%s) - start)) s; $(du -sh "$root" | cut -f1) in $root" >&2
echo "$root"
