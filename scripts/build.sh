#!/usr/bin/env bash
# Configures and builds both executables: build/x64 (with tests) and build/x86.
# Usage: scripts/build.sh [x64|x86|all]   (default: all)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Another build folder can be named with SCAN_BUILD_ROOT (default: build/ in the tree).
build_root=${SCAN_BUILD_ROOT:-$root/build}
which=${1:-all}
jobs=$(nproc)

build() {
    local arch=$1 toolchain=$2
    local dir="$build_root/$arch"
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$dir" -j "$jobs"
}

case "$which" in
    x64) build x64 mingw-x86_64.cmake ;;
    x86) build x86 mingw-i686.cmake ;;
    all) build x64 mingw-x86_64.cmake; build x86 mingw-i686.cmake ;;
    *) echo "usage: $0 [x64|x86|all]" >&2; exit 2 ;;
esac
