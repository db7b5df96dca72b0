#!/usr/bin/env bash
# A long soak of the robustness suite's hostile requests: 100,000 seeded random request lines
# (or the number given) against one x64 server under Wine, each answered with its record and
# the next prompt. Prints the outcomes by error, the server's private bytes after the warm-up
# and the highest after it, and the suite's summary.
# Usage: bench/soak.sh [requests] [seed]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${SCAN_BUILD_ROOT:-$root/build}
"$root/scripts/build.sh" x64 >/dev/null
. "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start
ROBUST_REQUESTS=${1:-100000} ROBUST_SEED=${2:-424242} \
    "$build_root/x64/wine-run" "$build_root/x64/bin/robust_tests.exe" \
    --gtest_filter=HostileRequestsTest.EveryLineIsAnsweredWithItsRecordAndMemoryStaysFlat
