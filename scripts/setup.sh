#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine, only if something is missing.
set -euo pipefail

packages=(
    cmake make
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
    googletest
    wine64 xvfb xauth
    nlohmann-json3-dev
    imagemagick python3 python3-pil
    x11-apps x11-xserver-utils fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
