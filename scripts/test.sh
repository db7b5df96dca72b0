#!/usr/bin/env bash
# Installs what is missing, builds both executables and runs every test (x64, under Wine).
# Extra arguments go to ctest, for example: scripts/test.sh -R protocol
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Another build folder can be named with SCAN_BUILD_ROOT (default: build/ in the tree).
build_root=${SCAN_BUILD_ROOT:-$root/build}
"$root/scripts/setup.sh"
"$root/scripts/build.sh" all
. "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start
ctest --test-dir "$build_root/x64" --output-on-failure "$@"
