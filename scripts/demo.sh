#!/usr/bin/env bash
# Installs what is missing, builds both executables, and runs the x64 scan server on the bundled
# sample plug-ins (plus one path that does not exist), printing the whole pipe conversation.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${SCAN_BUILD_ROOT:-$root/build}
"$root/scripts/setup.sh"
mkdir -p "$build_root"
echo "Building both executables (log: $build_root/demo-build.log)..."
if ! "$root/scripts/build.sh" all >"$build_root/demo-build.log" 2>&1; then
    tail -n 40 "$build_root/demo-build.log"
    exit 1
fi
. "$root/scripts/wine-env.sh"
trap wine_env_stop EXIT
wine_env_start

# Relative paths are resolved by the driver from its own folder, build/x64/bin.
requests=()
for name in sample-effect sample-synth sample-shell; do
    [ -f "$build_root/x64/bin/plugins/$name.dll" ] && requests+=("plugins\\$name.dll")
done
[ ${#requests[@]} -gt 0 ] || echo "(the sample plug-ins are not built in this tree: only a missing path is scanned)"
requests+=("plugins\\missing.dll")

echo
"$build_root/x64/wine-run" "$build_root/x64/bin/scan-transcript.exe" "${requests[@]}"
