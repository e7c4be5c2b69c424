#!/usr/bin/env bash
# Measures the engine and the real DLL, runs the long soak forms, and writes
# bench/RESULTS.md (and its table into the README). Installs what it needs.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_native_tools
ensure_packages libbenchmark-dev zip
ensure_windows_tools

out="$ROOT/build/bench"
mkdir -p "$out"
rows="$out/rows.md"
: >"$rows"
row() {  # figure, result, target, verdict
    printf '| %s | %s | %s | %s |\n' "$1" "$2" "$3" "$4" >>"$rows"
}

echo "== native: one worker cycle (Google Benchmark, emulated Windows)"
native_build "$out/native" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DPLOVANE_BUILD_BENCH=ON
"$out/native/bench/worker_cycle_bench" --benchmark_repetitions=15 --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null >"$out/cycle.csv"
median_ns() {  # benchmark name -> median real time in ns
    awk -F, -v name="\"$1_median\"" '$1 == name { printf "%.0f", $3 }' "$out/cycle.csv"
}
c4=$(median_ns "BM_WorkerCycle/4")
c100=$(median_ns "BM_WorkerCycle/100")
s4=$(median_ns "BM_Scan/4")
s25=$(median_ns "BM_Scan/25")
s50=$(median_ns "BM_Scan/50")
s100=$(median_ns "BM_Scan/100")
big_o=$(awk -F, '$1 == "\"BM_Scan_BigO\"" { gsub(/"/, "", $0); print $3 " " $5 }' "$out/cycle.csv")
linear=$(awk -v a="$s4" -v b="$s25" -v c="$s50" -v d="$s100" 'BEGIN {
    per1 = (d - a) / 96; per2 = (c - b) / 25;   # ns per entry over two spans
    r = per1 / per2; print (r > 0.67 && r < 1.5) ? "yes" : "no" }')
row "one worker cycle (scan + reset), 4 / 100 entries, median of 15" \
    "$((c4 / 1000)).$(((c4 % 1000) / 100)) / $((c100 / 1000)).$(((c100 % 1000) / 100)) µs" "report" "-"
row "scan alone, 4 / 25 / 50 / 100 entries, median" "$s4 / $s25 / $s50 / $s100 ns (fit: $big_o)" \
    "grows linearly" "$([ "$linear" = yes ] && echo pass || echo MISS)"

echo "== windows: the DLL, the stand-in player and the benchmark host"
windows_build -DPLOVANE_BUILD_BENCH=ON
# dist/ gets the release's DLL, byte-identical to the zip's: a tree
# configured with the bench differs from it in a few bytes.
bash "$ROOT/scripts/release.sh" >/dev/null
e2e_build
# Timings only where Windows programs run natively: under 32-bit Wine with
# the shipped DLL, or else under 64-bit Wine with a 64-bit build (the
# emulated PC's timings are not comparable).
ensure_timing_wine
run_build -DPLOVANE_BUILD_BENCH=ON
wine_start
wine="$(wine_loader)"
if [ "$WINE_BITS" = 64 ]; then
    row "what the timings ran" "a 64-bit build of the same sources under 64-bit Wine (this machine runs no 32-bit Wine natively)" \
        "the 32-bit DLL" "-"
else
    row "what the timings ran" "dist/xmp_plovane.dll, natively under 32-bit Wine" "the 32-bit DLL" "-"
fi

echo "== the benchmark host under Wine (a few minutes)"
bench_status=0
# Wine's console writes CRLF line ends.
timeout 1200 "$wine" "$RUN_DIR/bench/windows/plovane_bench.exe" </dev/null | tr -d '\r' | tee "$out/host.txt" ||
    bench_status=$?
grep '^ROW|' "$out/host.txt" | while IFS='|' read -r _ figure result target verdict; do
    row "$figure" "$result" "$target" "$verdict"
done
grep '^LATENCY|' "$out/host.txt" | cut -d'|' -f2 >"$out/latencies.txt" || true
bash "$ROOT/scripts/latency_histogram.sh" "$out/latencies.txt" >"$ROOT/bench/latency.svg"

echo "== idle cost of a live instance (30 s each, measured from outside)"
cpu_ns() {  # pid -> CPU time of all its threads, ns
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }'
}
idle_cpu() {  # player arguments -> "player_ns wineserver_ns" over 30 s
    "$wine" "$RUN_DIR/stand_in_player/stand_in_player.exe" --idle 34 "$@" </dev/null >/dev/null 2>&1 &
    local launcher=$! pid="" i
    for i in $(seq 1 50); do
        pid=$(pgrep -n -f 'stand_in_player.exe' || true)
        [ -n "$pid" ] && break
        sleep 0.1
    done
    sleep 2
    local server
    server=$(pgrep -n wineserver)
    local p0 s0 p1 s1
    p0=$(cpu_ns "$pid"); s0=$(cpu_ns "$server")
    sleep 30
    p1=$(cpu_ns "$pid"); s1=$(cpu_ns "$server")
    wait "$launcher" || true
    echo "$((p1 - p0)) $((s1 - s0))"
}
read -r with_p with_s < <(idle_cpu "$(windows_path "$RUN_DIR/xmp_plovane/xmp_plovane.dll")")
read -r without_p without_s < <(idle_cpu --no-plugin)
idle=$(awk -v a="$with_p" -v b="$without_p" 'BEGIN { printf "%.3f", (a - b) / 30 / 1e6 }')
idle_server=$(awk -v a="$with_s" -v b="$without_s" 'BEGIN { printf "%.3f", (a - b) / 30 / 1e6 }')
row "idle cost of a live instance: player process CPU, with minus without the plug-in" \
    "$idle ms/s (wineserver on its behalf: $idle_server ms/s)" "<= 1 ms/s" \
    "$(awk -v x="$idle" 'BEGIN { print (x <= 1) ? "pass" : "MISS" }')"

echo "== the DLL"
dll="$ROOT/dist/xmp_plovane.dll"
imports=$(i686-w64-mingw32-objdump -p "$dll" | awk '/DLL Name:/ { print $3 }' | sort | paste -sd, -)
row "xmp_plovane.dll size and imports" "$(stat -c %s "$dll") bytes; $imports" "report; system DLLs only" \
    "$(echo "$imports" | grep -qviE '^(KERNEL32|USER32|msvcrt)\.dll(,(KERNEL32|USER32|msvcrt)\.dll)*$' && echo MISS || echo pass)"

# The long soak forms and the busy-callback unloads run the shipped DLL:
# natively, or in the emulated PC.
shipped_cases() {  # filter, limit in s: the cases' output
    if [ "$RUN32" = native ]; then
        (cd "$E2E_DIR/tests/windows" && timeout "$2" wine plovane_e2e_tests.exe --gtest_filter="$1" </dev/null) 2>&1 |
            tr -d '\r'
    else
        e2e_run "$2" "$1"
    fi
}
where_shipped=$([ "$RUN32" = native ] && echo "natively" || echo "in the emulated 32-bit PC")

echo "== soak: long forms, the shipped DLL $where_shipped"
soak_status=0
PLOVANE_SOAK=long shipped_cases '*Soak*' 2400 >"$out/soak.txt" || soak_status=$?
grep -E '^ *[0-9]+ (trials|load/unload)|PASSED|FAILED|passed|failed' "$out/soak.txt" || true
soak_lines=$(grep -E '^ *[0-9]+ (trials|load/unload)' "$out/soak.txt" | sed 's/^ *//' | paste -sd ';' - || true)
row "soak: 1000 FreeInstance trials at random moments; 1000 random load/unload cycles (the shipped DLL, $where_shipped)" \
    "${soak_lines:-see build/bench/soak.txt}" "no hang, each message once" \
    "$([ "$soak_status" -eq 0 ] && echo pass || echo MISS)"

echo "== unloads while a general caller's callback allocates or throws, the shipped build $where_shipped"
busy_status=0
shipped_cases '*GeneralCallback*' 900 >"$out/busy.txt" || busy_status=$?
grep -E '^ *mode [0-9]|PASSED|FAILED|passed|failed' "$out/busy.txt" || true
busy_lines=$(grep -E '^ *mode [0-9]' "$out/busy.txt" | sed 's/^ *//; s/^mode 1/allocating/; s/^mode 2/throwing/' | paste -sd ';' - || true)
row "unload while a callback of a DLL built like ours allocates / throws for 20 ms, 50 tries each (32-bit, $where_shipped)" \
    "${busy_lines:-see build/bench/busy.txt}" "no hang, no crash, nothing left" \
    "$([ "$busy_status" -eq 0 ] && echo pass || echo MISS)"

cpu=$(awk -F: '/model name/ { sub(/^ /, "", $2); print $2; exit }' /proc/cpuinfo)
{
    echo "# Benchmark results"
    echo
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') by \`bash scripts/bench.sh\` on $cpu, $(nproc) cores,"
    echo "timings under $("$wine" --version) ($WINE_BITS-bit) under Xvfb; native figures on the emulated Windows, built with $(g++ --version | head -1)."
    echo
    echo "| figure | result | target | verdict |"
    echo "|---|---|---|---|"
    cat "$rows"
    echo
    echo "Key press to handled message, the held presses above (\`bench/latency.svg\`):"
    echo
    echo "![latency histogram](latency.svg)"
} >"$ROOT/bench/RESULTS.md"

# The README quotes the latest table, between its two markers.
awk -v table="$ROOT/bench/RESULTS.md" '
    /<!-- bench-results:begin -->/ { print; while ((getline line < table) > 0) if (line !~ /^# / && line !~ /latency\.svg/) print line; skip = 1; next }
    /<!-- bench-results:end -->/ { skip = 0 }
    !skip { print }' "$ROOT/README.md" >"$out/README.md" && cp "$out/README.md" "$ROOT/README.md"

cat "$ROOT/bench/RESULTS.md"
[ "$bench_status" -eq 0 ] && [ "$soak_status" -eq 0 ] && [ "$busy_status" -eq 0 ] ||
    echo "== some figures missed their targets"
