#!/usr/bin/env bash
# Every benchmark in one run: builds what they need, runs each under Wine (every figure beside
# its baseline, measured in turns in the same run), and ends with one table in Markdown, the
# figure, its baseline and the ratio, and the machine it ran on. The table is also written to
# build/x64/bench-results.md.
#
#     bench/run.sh          the full run (about eight minutes here, most of it the 100,000-entry shell)
#     bench/run.sh quick    smaller counts, to see that everything works
#
# bench/soak.sh, the robustness suite's long soak, has no baseline to compare with and runs on
# its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${SCAN_BUILD_ROOT:-$root/build}
mode=${1:-full}
case "$mode" in
    full) startup_runs=20 record_n=100000 scanhost_n=500 requests="200 5" memory_n=10000 shell_n=100000 ;;
    quick) startup_runs=5 record_n=10000 scanhost_n=50 requests="50 2" memory_n=1000 shell_n=10000 ;;
    *) echo "usage: $0 [quick]" >&2; exit 2 ;;
esac

"$root/scripts/build.sh" x64 >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# These start and stop a Wine environment of their own, so they run before ours starts.
echo "== start-up (bench/startup.sh)"
"$root/bench/startup.sh" "$startup_runs" | tr -d '\r' | tee "$out/startup"
echo "== shell record in-process (bench/record.sh)"
"$root/bench/record.sh" "$record_n" | tr -d '\r' | tee "$out/record"
echo "== scanhost over a collection (bench/scanhost_bench.sh)"
"$root/bench/scanhost_bench.sh" "$scanhost_n" | tr -d '\r' | tee "$out/scanhost"

. "$root/scripts/wine-env.sh"
trap 'wine_env_stop; rm -rf "$out"' EXIT
wine_env_start
bin="$build_root/x64/bin"
echo "== per request"
# shellcheck disable=SC2086
"$build_root/x64/wine-run" "$bin/request-bench.exe" $requests | tr -d '\r' | tee "$out/request"
echo "== memory"
"$build_root/x64/wine-run" "$bin/memory-bench.exe" "$memory_n" | tr -d '\r' | tee "$out/memory"
echo "== shell scale through the server"
"$build_root/x64/wine-run" "$bin/scale-bench.exe" "$shell_n" | tr -d '\r' | tee "$out/scale"
wine_env_stop
trap 'rm -rf "$out"' EXIT

# The machine: CPU model, cores, Wine.
cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
cores=$(nproc)
wine=$("${WINE:-/usr/lib/wine/wine64}" --version 2>/dev/null || echo "wine (version unknown)")

{
    echo "| Figure | Measured | Baseline | Ratio |"
    echo "|---|---|---|---|"
    awk '/scan server *median/ {s = $(NF-1)} /minimal program *median/ {m = $(NF-1)}
         /median ratio/ {r = $NF}
         END {printf "| Start-up to the first prompt | %s ms | %s ms (minimal GUI program) | %s |\n", s, m, r}' \
        "$out/startup"
    grep -h '^| ' "$out/request" "$out/memory" "$out/scale"
    # record.sh's table: n | CMap std::map ratio | WriteJson wstring ratio | depth
    awk -F'|' '$1 ~ /^ *[0-9]+ *$/ {
        n = $1 + 0; split($2, map, " "); split($3, json, " ")
        printf "| Shell record of %d in-process: duplicate check per entry | %s ns (CMap) | %s ns (std::map) | %s |\n", n, map[1], map[2], map[3]
        printf "| Shell record of %d in-process: WriteJson per entry | %s ns | %s ns (std::wstring writer) | %s |\n", n, json[1], json[2], json[3]
    }' "$out/record"
    # scanhost_bench.sh's lines: way, servers, seconds, plug-ins per second, ratio; the first
    # way (a server process per plug-in) is the baseline.
    awk '$NF ~ /^[0-9.]+x$/ {
        label = $1; for (i = 2; i <= NF - 4; ++i) label = label " " $i
        if (!base) { base = $(NF-1); baseLabel = label; next }
        printf "| scanhost over '"$scanhost_n"' plug-ins, %s | %s plug-ins/s | %s plug-ins/s (%s) | %s |\n", label, $(NF-1), base, baseLabel, substr($NF, 1, length($NF) - 1)
    }' "$out/scanhost"
    echo
    echo "Machine: $cpu, $cores cores, $wine; $(date -u +%Y-%m-%d)."
} >"$out/table"

mkdir -p "$build_root/x64"
cp "$out/table" "$build_root/x64/bench-results.md"
echo
echo "== results (also in $build_root/x64/bench-results.md)"
cat "$out/table"
