# The end-to-end suite in the i386 system (run by session.sh, either way
# in): one Wine process per case, each within a time limit, its name
# printed as it starts and its result as it ends, failures in the exit
# status. /job holds plovane_e2e_tests.exe and the DLLs it loads.
#
#   e2e_cases.sh LIMIT_S [GTEST_FILTER] [STALL_S]
#
# Besides the suite's own watchdog (30 s without progress, a thread of the
# process), a case whose process and Wine server together use no CPU time
# for STALL_S seconds has stalled as a whole, its watchdog with it: every
# thread's stack and the process list are printed, then the case is ended.
limit="${1:-300}"
filter="${2:-*}"
stall_limit="${3:-60}"
log=/tmp/e2e-case.log

echo "shipped DLL in the i386 system: $(sha256sum xmp_plovane.dll | cut -d' ' -f1)"
echo "$(wine --version), $(uname -m) $(uname -r), $(nproc) CPUs"

cases=$(wine plovane_e2e_tests.exe --gtest_list_tests --gtest_filter="$filter" </dev/null | tr -d '\r' |
    awk '/^[^ ]/ { suite = $1; next } /^  / { print suite $1 }')
if [ -z "$cases" ]; then
    echo "e2e: no case matches '$filter'" >&2
    exit 1
fi

# CPU time (clock ticks) of the case's processes and the Wine server.
cpu_ticks() {
    local pid total=0
    for pid in $(pgrep -f 'plovane_e2e_tests|wineserver'); do
        total=$((total + $(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null || echo 0)))
    done
    echo "$total"
}

# What a stalled case shows of itself before it is ended.
stall_report() {
    echo "e2e: $1: no CPU time used for $stall_limit s: the whole process stalled"
    echo "--- processes"
    ps -eo pid,ppid,stat,wchan:28,time,etime,args
    local pid task
    for pid in $(pgrep -f plovane_e2e_tests.exe); do
        echo "--- threads of $pid (state, kernel wait)"
        for task in /proc/"$pid"/task/*; do
            echo "  $(basename "$task") $(awk '{ print $3 }' "$task/stat") $(cat "$task/wchan" 2>/dev/null)"
            sed 's/^/      /' "$task/stack" 2>/dev/null
        done
    done
    echo "--- every Windows thread's stack (winedbg)"
    timeout 60 winedbg --command "bt all" </dev/null 2>&1 | tr -d '\r' | head -400
}

# run_case NAME: the case's exit status; 124 at its limit, 125 stalled.
run_case() {
    timeout --kill-after=10 "$limit" wine plovane_e2e_tests.exe --gtest_filter="$1" </dev/null >"$log" 2>&1 &
    local pid=$! last ticks still=0
    last=$(cpu_ticks)
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1
        ticks=$(cpu_ticks)
        if [ "$ticks" -ne "$last" ]; then
            last=$ticks
            still=0
            continue
        fi
        still=$((still + 1))
        if [ "$still" -ge "$stall_limit" ] && kill -0 "$pid" 2>/dev/null; then
            stall_report "$1" >>"$log"
            pkill -KILL -f 'plovane_e2e_tests.exe' 2>/dev/null
            kill "$pid" 2>/dev/null
            wait "$pid" 2>/dev/null
            return 125
        fi
    done
    wait "$pid"
}

passed=0
failed=()
for name in $cases; do
    echo "  running $name"
    start=$(date +%s)
    status=0
    run_case "$name" || status=$?
    seconds=$(($(date +%s) - start))
    if [ "$status" -eq 0 ] && grep -q '^\[  PASSED  \] 1 test' <(tr -d '\r' <"$log"); then
        passed=$((passed + 1))
        printf '  passed  %-80s %4d s\n' "$name" "$seconds"
        # What a case reports of itself (counts, leftovers) is kept.
        tr -d '\r' <"$log" | grep -vE '^(\[|Note: |Running main|$)' | sed 's/^/          /'
    else
        failed+=("$name")
        [ "$status" -eq 124 ] && echo "e2e: $name: ended after its limit of $limit s"
        printf '  FAILED  %-80s %4d s (status %d)\n' "$name" "$seconds" "$status"
        tr -d '\r' <"$log" | sed 's/^/          /'
        # One that ended abnormally may leave Wine processes behind.
        wineserver -k 2>/dev/null
        wineserver -p
    fi
done

echo "e2e: ${passed} passed, ${#failed[@]} failed"
for name in "${failed[@]}"; do echo "  failed: $name"; done
[ "${#failed[@]}" -eq 0 ]
