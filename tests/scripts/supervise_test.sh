#!/usr/bin/env bash
# A supervised command leaves no process behind however it ends: normally,
# by SIGTERM (a CI limit) or by SIGINT (Ctrl-C), also when what it started
# sits in a process group of its own (`timeout` puts its command in one) or
# in a session of its own (setsid, as bwrap --new-session does).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# Run from a supervised command itself: the command here has its own.
unset PLOVANE_SUPERVISED
work=$(mktemp -d)
trap 'pkill -KILL -f "$work/" 2>/dev/null || true; rm -rf "$work"' EXIT

# The command: starts three long sleepers in the ways above (each copy of
# sleep named after the folder, so that they can be found), says it is
# ready, then waits, or ends at once when told to.
cat >"$work/command.sh" <<EOF_COMMAND
source "$ROOT/scripts/common.sh"
supervise "\$@"
timeout 600 "$work/sleeper" 600 &
setsid "$work/sleeper" 600 &
( "$work/sleeper" 600 ) &
touch "$work/ready"
[ "\${1:-}" = finish ] && exit 3
wait
EOF_COMMAND

cp /bin/sleep "$work/sleeper"
left() { pgrep -f "^$work/sleeper" | wc -l; }

# check HOW: runs the command, ends it HOW, and requires no sleeper left.
check() {
    local how="$1" status=0
    rm -f "$work/ready"
    if [ "$how" = finish ]; then
        bash "$work/command.sh" finish || status=$?
        [ "$status" -eq 3 ] || { echo "FAIL finish: status $status, not the command's 3"; return 1; }
    else
        # A background job of a script ignores SIGINT, as a terminal's
        # foreground command would not: perl restores its default first.
        perl -e '$SIG{INT} = "DEFAULT"; exec @ARGV' bash "$work/command.sh" &
        local supervisor=$! _
        for _ in $(seq 1 100); do [ -e "$work/ready" ] && break; sleep 0.1; done
        [ -e "$work/ready" ] || { echo "FAIL $how: the command never started"; return 1; }
        [ "$(left)" -eq 3 ] || { echo "FAIL $how: $(left) sleepers before the signal, not 3"; return 1; }
        kill "-$how" "$supervisor"
        wait "$supervisor" || status=$?
    fi
    # end_tree waits for what it ended, so nothing may be left at once.
    if [ "$(left)" -ne 0 ]; then
        echo "FAIL $how: $(left) processes outlived the command"
        return 1
    fi
    echo "ok: ended by $how (status $status), nothing left"
}

failures=0
for how in finish TERM INT; do check "$how" || failures=$((failures + 1)); done
[ "$failures" -eq 0 ]
