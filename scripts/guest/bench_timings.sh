# The bench's timings of the real DLL, in a Wine session (session.sh; under
# the host's 64-bit Wine where no 32-bit program runs): plovane_bench.exe
# (its ROW| and LATENCY| lines), then what a live instance costs an idle
# player, measured from outside the Wine process (an IDLE| line: CPU time
# in ns over 20 s of the player and of the Wine server, with the plug-in,
# then without: the medians of three rounds of 20 s each). The folder holds plovane_bench.exe, xmp_plovane.dll and
# stand_in_player.exe.
bench_status=0
timeout 1200 wine plovane_bench.exe </dev/null || bench_status=$?

cpu_ns() {  # pid -> CPU time of all its threads, ns
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }'
}
idle_cpu() {  # player arguments -> "player_ns wineserver_ns" over 20 s
    wine stand_in_player.exe --idle 24 "$@" </dev/null >/dev/null 2>&1 &
    local launcher=$! pid="" server
    for _ in $(seq 1 50); do
        pid=$(pgrep -n -f 'stand_in_player.exe' || true)
        [ -n "$pid" ] && break
        sleep 0.1
    done
    sleep 2
    server=$(pgrep -n wineserver)
    local p0 s0 p1 s1
    p0=$(cpu_ns "$pid"); s0=$(cpu_ns "$server")
    sleep 20
    p1=$(cpu_ns "$pid"); s1=$(cpu_ns "$server")
    wait "$launcher" || true
    echo "$((p1 - p0)) $((s1 - s0))"
}
# Three rounds, with and without in turn: the median of each, so that one
# disturbed round does not decide it.
median() { sort -n | sed -n 2p; }
rounds=""
for _ in 1 2 3; do
    rounds+="$(idle_cpu xmp_plovane.dll) $(idle_cpu --no-plugin)"$'\n'
done
echo "IDLE|$(echo "$rounds" | awk 'NF { print $1 }' | median)|$(echo "$rounds" | awk 'NF { print $2 }' | median)|$(echo "$rounds" | awk 'NF { print $3 }' | median)|$(echo "$rounds" | awk 'NF { print $4 }' | median)"
exit "$bench_status"
