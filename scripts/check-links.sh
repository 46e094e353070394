#!/bin/bash
# Checks that every relative link, image and heading anchor in the project's
# Markdown files resolves, with remark-validate-links (GitHub's heading slugs).
# The checker comes from npm at the versions locked in scripts/doc-links/ and is
# kept in a cache outside the clone; once there, it runs offline.
#
# Usage: scripts/check-links.sh [--install]
#   --install  install the checker if it is missing, check nothing
set -eu
cd "$(dirname "$0")/.."

key=$(cat scripts/doc-links/package.json scripts/doc-links/package-lock.json | sha256sum | cut -c1-12)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/velta
prefix=$cache/doc-links-$key

if [ ! -f "$prefix/.complete" ]; then
    echo "check-links: installing the link checker into $prefix"
    mkdir -p "$cache"
    # A scratch folder of its own, moved into place whole: another run may be
    # installing into the same cache.
    work=$(mktemp -d "$cache/doc-links-build.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    cp scripts/doc-links/package.json scripts/doc-links/package-lock.json "$work/"
    (cd "$work" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null)
    touch "$work/.complete"
    mv -T "$work" "$prefix" 2>/dev/null || [ -f "$prefix/.complete" ]
fi
[ "${1:-}" = --install ] && exit 0

# Tracked files only: build/ holds clones of the project whose pages may be stale.
# No configuration files are searched, so nothing outside this line changes the check;
# repository:false keeps the plugin from asking git for a remote.
git ls-files -z '*.md' | xargs -0 node "$prefix/node_modules/remark-cli/cli.js" \
    --no-config --no-ignore --no-stdout --no-color --quiet --frail \
    --use "$prefix/node_modules/remark-validate-links/index.js=repository:false"
echo "check-links: every relative link and anchor resolves"
