#!/usr/bin/env bash
# The project's i386 system as a command of its own, entered the way the
# tests enter it (natively with bwrap, or booted in the emulated PC; set
# PLOVANE_RUN32=native|emulated to choose), with Wine ready and the current
# folder as /job (copied in, in the emulated PC; out/ comes back):
#
#   bash scripts/i386.sh shell                  a shell there
#   bash scripts/i386.sh run PROGRAM.exe [ARG]  one Windows program, with
#                                               the DLLs of the current folder
#   bash scripts/i386.sh exec COMMAND [ARG]     any command there
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
[ "${1:-}" = shell ] || supervise "$@"
source "$ROOT/scripts/lib/run32.sh"

here="$PWD"
run32_ensure >&2
case "${1:-}" in
shell)
    if [ "$RUN32" = native ]; then
        bwrap_enter "$here" 0 env PLOVANE_INTERACTIVE=1 bash /plovane/guest/session.sh bash -i
    else
        echo "== the emulated PC has no interactive console here: use exec" >&2
        exit 2
    fi ;;
run)
    shift
    [ $# -ge 1 ] || { echo "usage: bash scripts/i386.sh run PROGRAM.exe [ARGS...]" >&2; exit 2; }
    run32_job "$here" "${PLOVANE_LIMIT:-3600}" wine "$@" ;;
exec)
    shift
    run32_job "$here" "${PLOVANE_LIMIT:-3600}" "$@" ;;
*)
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2 ;;
esac
