#!/usr/bin/env bash
# Measures the engine and the real DLL, runs the long soak forms, and writes
# bench/RESULTS.md. Installs what it needs.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
supervise "$@"
source "$ROOT/scripts/lib/run32.sh"
source "$ROOT/scripts/lib/e2e.sh"

ensure_native_tools
ensure_packages libbenchmark-dev
ensure_cross_tools
run32_ensure

out="$ROOT/build/bench"
mkdir -p "$out"
rows="$out/rows.md"
: >"$rows"
# The "ran by" column, one short label per way a figure is taken.
NATIVE_BY="native build, emulated Windows"
row() {  # figure, ran by, result, target, verdict
    printf '| %s | %s | %s | %s | %s |\n' "$1" "$2" "$3" "$4" "$5" >>"$rows"
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
row "one worker cycle (scan + reset), 4 / 100 entries, median of 15" "$NATIVE_BY" \
    "$((c4 / 1000)).$(((c4 % 1000) / 100)) / $((c100 / 1000)).$(((c100 % 1000) / 100)) µs" "report" "-"
row "scan alone, 4 / 25 / 50 / 100 entries, median" "$NATIVE_BY" "$s4 / $s25 / $s50 / $s100 ns (fit: $big_o)" \
    "grows linearly" "$([ "$linear" = yes ] && echo pass || echo MISS)"

echo "== windows: the DLL, the stand-in player and the benchmark host"
windows_build -DPLOVANE_BUILD_BENCH=ON
# dist/ gets the release's DLL, byte-identical to the zip's: a tree
# configured with the bench differs from it in a few bytes. The timings
# load that one.
bash "$ROOT/scripts/release.sh" >/dev/null
e2e_build
job=$(new_job bench)
if [ "$RUN32" = native ]; then
    cp "$ROOT/dist/xmp_plovane.dll" "$ROOT/dist/stand_in_player.exe" "$ROOT/build/windows/bench/windows/plovane_bench.exe" \
        "$ROOT/build/windows/bench/windows/plovane_eh_probe.dll" "$job/"
    ran_by="32-bit $(run32_enter "$job" 60 wine --version), natively in the i386 system (bwrap)"
    run_timings() { run32_job "$job" 1500 bash /plovane/guest/bench_timings.sh; }
else
    # Timings of the emulated PC are not comparable: a 64-bit build of the
    # same sources under the host's 64-bit Wine.
    source "$ROOT/scripts/lib/run64.sh"
    windows_configure "$ROOT/build/windows64" -DPLOVANE_MINGW_ARCH=x86_64 -DPLOVANE_BUILD_BENCH=ON
    cmake --build "$ROOT/build/windows64" -j "$JOBS"
    cp "$ROOT/build/windows64/xmp_plovane/xmp_plovane.dll" "$ROOT/build/windows64/stand_in_player/stand_in_player.exe" \
        "$ROOT/build/windows64/bench/windows/plovane_bench.exe" \
        "$ROOT/build/windows64/bench/windows/plovane_eh_probe.dll" "$job/"
    cp "$ROOT/scripts/guest/bench_timings.sh" "$job/"
    ran_by="a 64-bit build of the same sources, the host's 64-bit $(wine64 --version 2>/dev/null || echo Wine) (no 32-bit programs run here)"
    run_timings() { run64_job "$job" 1500 bash bench_timings.sh; }
fi

echo "== the timings: the benchmark host and the idle cost (a few minutes), $ran_by"
bench_status=0
run_timings | tee "$out/host.txt" || bench_status=$?
grep '^ROW|' "$out/host.txt" | while IFS='|' read -r _ figure result target verdict; do
    row "$figure" "$ran_by" "$result" "$target" "$verdict"
done
grep '^LATENCY|' "$out/host.txt" | cut -d'|' -f2 >"$out/latencies.txt" || true
bash "$ROOT/scripts/latency_histogram.sh" "$out/latencies.txt" >"$ROOT/bench/latency.svg"
IFS='|' read -r _ with_p with_s without_p without_s < <(grep '^IDLE|' "$out/host.txt" || echo "IDLE|0|0|0|0")
idle=$(awk -v a="$with_p" -v b="$without_p" 'BEGIN { printf "%.3f", (a - b) / 20 / 1e6 }')
idle_server=$(awk -v a="$with_s" -v b="$without_s" 'BEGIN { printf "%.3f", (a - b) / 20 / 1e6 }')
row "idle cost of a live instance: player process CPU, with minus without the plug-in, medians of 3 x 20 s" "$ran_by" \
    "$idle ms/s (wineserver on its behalf: $idle_server ms/s)" "<= 1 ms/s" \
    "$(awk -v x="$idle" -v p="$with_p" 'BEGIN { print (p > 0 && x <= 1) ? "pass" : "MISS" }')"

echo "== the DLL"
dll="$ROOT/dist/xmp_plovane.dll"
imports=$(i686-w64-mingw32-objdump -p "$dll" | awk '/DLL Name:/ { print $3 }' | sort | paste -sd, -)
row "dist/xmp_plovane.dll size and imports" "the file, read by objdump" "$(stat -c %s "$dll") bytes; $imports" "<= 16384 bytes; KERNEL32 and USER32 only" \
    "$([ "$(stat -c %s "$dll")" -le 16384 ] && [ "$imports" = KERNEL32.dll,USER32.dll ] && echo pass || echo MISS)"

# The long soak forms and the busy-callback unloads run the shipped DLL in
# the i386 system, whichever way it is entered.
where_shipped=$([ "$RUN32" = native ] && echo "natively in the i386 system" || echo "in the emulated 32-bit PC")
shipped_cases() { e2e_run "$1"; }

echo "== soak: long forms, the shipped DLL $where_shipped"
soak_status=0
PLOVANE_SOAK=long PLOVANE_CASE_LIMIT=2400 shipped_cases '*Soak*' >"$out/soak.txt" || soak_status=$?
grep -E '^ *[0-9]+ (trials|load/unload)|PASSED|FAILED|passed|failed' "$out/soak.txt" || true
soak_lines=$(grep -E '^ *[0-9]+ (trials|load/unload)' "$out/soak.txt" | sed 's/^ *//' | paste -sd ';' - || true)
row "soak: 1000 FreeInstance trials at random moments; 1000 random load/unload cycles" "dist/xmp_plovane.dll, $where_shipped" \
    "${soak_lines:-see build/bench/soak.txt}" "no hang, each message once" \
    "$([ "$soak_status" -eq 0 ] && echo pass || echo MISS)"

echo "== unloads while a general caller's callback allocates or throws, the shipped build $where_shipped"
busy_status=0
PLOVANE_CASE_LIMIT=900 shipped_cases '*GeneralCallback*' >"$out/busy.txt" || busy_status=$?
grep -E '^ *mode [0-9]|PASSED|FAILED|passed|failed' "$out/busy.txt" || true
busy_lines=$(grep -E '^ *mode [0-9]' "$out/busy.txt" | sed 's/^ *//; s/^mode 1/allocating/; s/^mode 2/throwing/' | paste -sd ';' - || true)
row "unload while a callback of a general caller's DLL (the probe) allocates / throws for 20 ms, 50 tries each" "32-bit probe DLL, $where_shipped" \
    "${busy_lines:-see build/bench/busy.txt}" "no hang, no crash, nothing left" \
    "$([ "$busy_status" -eq 0 ] && echo pass || echo MISS)"

cpu=$(awk -F: '/model name/ { sub(/^ /, "", $2); print $2; exit }' /proc/cpuinfo)
{
    echo "# Benchmark results"
    echo
    echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') by \`bash scripts/bench.sh\` on $cpu, $(nproc) cores."
    echo "Every row says what ran it. Native figures on the emulated Windows, built with $(g++ --version | head -1);"
    echo "the others on Xvfb, with the DLL and the programs built by $(i686-w64-mingw32-g++-win32 --version | head -1)."
    echo
    echo "| figure | ran by | result | target | verdict |"
    echo "|---|---|---|---|---|"
    cat "$rows"
    echo
    echo "Key press to handled message, the held presses above (\`bench/latency.svg\`):"
    echo
    echo "![latency histogram](latency.svg)"
} >"$ROOT/bench/RESULTS.md"

cat "$ROOT/bench/RESULTS.md"
[ "$bench_status" -eq 0 ] && [ "$soak_status" -eq 0 ] && [ "$busy_status" -eq 0 ] ||
    echo "== some figures missed their targets"
