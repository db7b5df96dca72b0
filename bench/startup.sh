#!/usr/bin/env bash
# Start-up latency of the x64 scan server against a minimal GUI program started the same way,
# both measured side by side under Wine in one run. Prints the median ratio over 20 runs (or
# the number given).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${SCAN_BUILD_ROOT:-$root/build}
"$root/scripts/build.sh" x64 >/dev/null
. "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start
"$build_root/x64/wine-run" "$build_root/x64/bin/startup-bench.exe" "${1:-20}"
