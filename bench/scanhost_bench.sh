#!/usr/bin/env bash
# scanhost over a collection of small plug-ins (copies of the quiet sample effect), three ways
# in one run under Wine: one scan server reused for every plug-in, one server per processor,
# and a fresh server process per plug-in (what scanners without a server loop do, here
# scanhost with --max-requests 1). Prints plug-ins per second and the ratios.
# An argument sets the number of plug-ins (default 500).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${SCAN_BUILD_ROOT:-$root/build}
count=${1:-500}
jobs=$(nproc)
"$root/scripts/build.sh" x64 >/dev/null
. "$root/scripts/wine-env.sh"
work=$(mktemp -d)
trap 'wine_env_stop; rm -rf "$work"' EXIT
wine_env_start

fixture="$build_root/x64/bin/plugins/sample-effect.dll"
mkdir -p "$work/plugins"
for i in $(seq -w 1 "$count"); do cp "$fixture" "$work/plugins/effect-$i.dll"; done

# One fresh database per way; scanhost's own clock (run.seconds) times the scan alone.
scan() {
    local name=$1; shift
    rm -f "$work/$name.json"
    "$build_root/x64/wine-run" "$build_root/x64/bin/scanhost.exe" --json -q --db "Z:$work/$name.json" "$@" \
        "Z:$work/plugins" >"$work/$name.out"
    python3 - "$work/$name.out" "$count" <<'PY'
import json, sys
result = json.load(open(sys.argv[1]))
ok, count = result["summary"]["ok"], int(sys.argv[2])
if ok != count:
    sys.exit(f"only {ok} of {count} plug-ins scanned ok")
print(result["run"]["seconds"], result["run"]["serversStarted"])
PY
}

read -r per_process per_process_servers < <(scan per-process -j 1 --max-requests 1)
read -r one one_servers < <(scan one -j 1)
read -r many many_servers < <(scan many -j "$jobs")

python3 - "$count" "$jobs" "$per_process" "$per_process_servers" "$one" "$one_servers" "$many" "$many_servers" <<'PY'
import sys
count, jobs = int(sys.argv[1]), int(sys.argv[2])
per_process, one, many = float(sys.argv[3]), float(sys.argv[5]), float(sys.argv[7])
servers = sys.argv[4], sys.argv[6], sys.argv[8]
print(f"scanhost over {count} copies of sample-effect.dll (x64, Wine, {jobs} processors)")
print(f"  {'way':50} {'servers':>7} {'seconds':>8} {'plug-ins/s':>11} {'ratio':>7}")
for label, seconds, started in (("one server process per plug-in (--max-requests 1)", per_process, servers[0]),
                                ("one server for all (-j 1)", one, servers[1]),
                                (f"one server per processor (-j {jobs})", many, servers[2])):
    print(f"  {label:50} {started:>7} {seconds:8.2f} {count / seconds:11.1f} {per_process / seconds:6.1f}x")
PY
