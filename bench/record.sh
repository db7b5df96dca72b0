#!/usr/bin/env bash
# The shell record with 1k, 10k and 100k distinct sub-plug-ins: the probe's duplicate check on
# Simple::CMap against std::map, and CPluginInfo::WriteJson against a plain std::wstring writer
# sending the same units to the same NUL handle. Both sides in turns in one run under Wine;
# prints the time per entry and the ratios. An argument sets the largest n (default 100000).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${SCAN_BUILD_ROOT:-$root/build}
"$root/scripts/build.sh" x64 >/dev/null
. "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start
"$build_root/x64/wine-run" "$build_root/x64/bin/record-bench.exe" "${1:-100000}"
