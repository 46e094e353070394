#!/bin/bash
# Installs the Debian 12 packages that building, testing and the demo need, and
# the documentation's link checker from npm.
set -eu
pkgs=(
  cmake ninja-build git clang-14 libclang-rt-14-dev
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64 fonts-wine bubblewrap mmdebstrap xvfb xauth x11-utils openbox xdotool imagemagick
  qt6-base-dev qt6-base-dev-tools libgl-dev fonts-noto-cjk
  doctest-dev python3 python3-pil dpkg-dev patch bc nsis osslsigncode openssl
  nodejs
)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# Debian's npm, unless the installed Node.js brings its own.
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
bash "$(dirname "$0")/check-links.sh" --install
