#!/usr/bin/env bash
# The way into the i386 system is chosen as the README says: natively where
# the kernel runs 32-bit programs and bwrap makes its namespaces; the
# emulated PC, with a line saying why, where bwrap refuses (user namespaces
# disabled) or no 32-bit program runs; PLOVANE_RUN32 forces one, and
# anything else it holds is refused.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
failures=0

# choose BWRAP_WORKS RUNS_32BIT [PLOVANE_RUN32]: prints "RUN32=..." and what
# run32_choose said; its status is run32_choose's.
choose() {
    cat >"$stubs/bwrap" <<EOF_STUB
#!/bin/sh
[ "$1" = yes ] && exit 0
echo "bwrap: No permissions to create new namespace, likely because the kernel does not allow non-privileged user namespaces." >&2
exit 1
EOF_STUB
    chmod +x "$stubs/bwrap"
    PATH="$stubs:$PATH" PLOVANE_RUN32="${3:-}" bash -c '
        source "'"$ROOT"'/scripts/common.sh"
        source "'"$ROOT"'/scripts/lib/run32.sh"
        ensure_packages() { :; }
        can_run_32bit() { [ "'"$2"'" = yes ]; }
        run32_choose && echo "RUN32=$RUN32"' 2>&1
}

expect() {  # name, what choose printed, a line it must hold
    if grep -q -- "$3" <<<"$2"; then
        echo "ok: $1"
    else
        echo "FAIL $1: expected '$3' in:"
        echo "    ${2//$'\n'/$'\n'    }"
        failures=$((failures + 1))
    fi
}

expect "natively where bwrap works" "$(choose yes yes)" "^RUN32=native$"
said=$(choose no yes)
expect "bwrap refused: the emulated PC" "$said" "^RUN32=emulated$"
expect "bwrap refused: says why" "$said" "bwrap cannot make its namespaces here.*No permissions"
said=$(choose yes no)
expect "no 32-bit programs: the emulated PC" "$said" "^RUN32=emulated$"
expect "no 32-bit programs: says why" "$said" "runs no 32-bit programs"
expect "forced emulated" "$(choose yes yes emulated)" "^RUN32=emulated$"
said=$(choose yes no native)
expect "forced native where it cannot run: refused" "$said" "PLOVANE_RUN32=native: this machine's kernel runs no 32-bit programs"
if grep -q "^RUN32=" <<<"$said"; then echo "FAIL: forced native went on"; failures=$((failures + 1)); fi
expect "a bad value: refused" "$(choose yes yes sideways)" "PLOVANE_RUN32 must be native or emulated"
[ "$failures" -eq 0 ]
