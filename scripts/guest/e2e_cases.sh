# The end-to-end suite in the i386 system (run by session.sh, either way
# in): one Wine process per case, each within a time limit, its name
# printed as it starts and its result as it ends, failures in the exit
# status. /job holds plovane_e2e_tests.exe and the DLLs it loads.
#
#   e2e_cases.sh LIMIT_S [GTEST_FILTER] [STALL_S]
#
# Besides the suite's own watchdog (30 s without progress, a thread of the
# process, which wakes twice a second), a case whose process uses no CPU
# time at all for STALL_S seconds has stalled as a whole, its watchdog with
# it: the process list, every thread's kernel wait and every Windows
# thread's stack are printed, then the case is ended.
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

# The case's Windows process (not its `timeout`, nor `wine` starting it).
case_pid() { pgrep -f '^[^ ]*plovane_e2e_tests\.exe' | head -1; }

# CPU time of all the case process's threads, in ns; empty when there is no
# such process (starting, or ended).
case_cpu_ns() {
    local pid
    pid=$(case_pid)
    [ -n "$pid" ] && cat /proc/"$pid"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }'
}

# What a stalled case shows of itself before it is ended.
stall_report() {
    echo "e2e: $1: no CPU time used for $stall_limit s: the whole process stalled"
    echo "--- processes"
    ps -eo pid,ppid,stat,wchan:28,time,etime,args
    local pid task
    for pid in $(case_pid); do
        echo "--- threads of $pid (state, kernel wait)"
        for task in /proc/"$pid"/task/*; do
            echo "  $(basename "$task") $(awk '{ print $3 }' "$task/stat") $(cat "$task/wchan" 2>/dev/null)"
            sed 's/^/      /' "$task/stack" 2>/dev/null
        done
    done
    echo "--- every Windows thread's stack (winedbg)"
    timeout 30 wine winedbg --command "bt all" </dev/null 2>&1 | tr -d '\r' | head -400
}

# run_case NAME: the case's exit status; 124 at its limit, 125 stalled.
run_case() {
    timeout --kill-after=10 "$limit" wine plovane_e2e_tests.exe --gtest_filter="$1" </dev/null >"$log" 2>&1 &
    local pid=$! last="" now still=0
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1
        now=$(case_cpu_ns)
        if [ -z "$now" ] || [ "$now" != "$last" ]; then
            last=$now
            still=0
            continue
        fi
        still=$((still + 1))
        if [ "$still" -ge "$stall_limit" ] && kill -0 "$pid" 2>/dev/null; then
            stall_report "$1" >>"$log"
            kill -KILL "$(case_pid)" 2>/dev/null
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
    if [ "$status" -eq 0 ] && tr -d '\r' <"$log" | grep -q '^\[  PASSED  \] 1 test'; then
        passed=$((passed + 1))
        printf '  passed  %-80s %4d s\n' "$name" "$seconds"
        # What a case reports of itself (counts, leftovers) is kept.
        tr -d '\r' <"$log" | grep -vE '^(\[|Note: |Running main|$)' | sed 's/^/          /'
    else
        failed+=("$name")
        [ "$status" -eq 124 ] && echo "e2e: $name: ended after its limit of $limit s"
        printf '  FAILED  %-80s %4d s (status %d)\n' "$name" "$seconds" "$status"
        tr -d '\r' <"$log" | sed 's/^/          /'
        # One that ended abnormally may leave Wine processes behind. The new
        # server must not hold this script's output open.
        wineserver -k 2>/dev/null
        wineserver -p </dev/null >/dev/null 2>&1
    fi
done

echo "e2e: ${passed} passed, ${#failed[@]} failed"
for name in "${failed[@]}"; do echo "  failed: $name"; done
[ "${#failed[@]}" -eq 0 ]
