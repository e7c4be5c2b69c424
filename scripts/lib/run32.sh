# Where the 32-bit Windows programs run: in the project's i386 system
# (lib/i386_system.sh), entered one of two ways, and the one Wine there.
#
#   native    bwrap into the tree: the kernel runs its 32-bit programs, in
#             namespaces of their own (mounts, PIDs, network: the X server's
#             abstract socket stays private), nothing changed on the host;
#   emulated  the tree booted in QEMU (lib/emulated_pc.sh), where the kernel
#             runs no 32-bit programs or bwrap cannot make its namespaces.
#
# PLOVANE_RUN32=native|emulated forces one.
#
#   run32_ensure                        choose the way in, assemble the system
#   run32_job JOB LIMIT_S SCRIPT [ARG]  run a job's script with Wine ready
#   run32_enter JOB LIMIT_S COMMAND...  run a command in the bare system
#
# Either way, JOB is /job there (in the emulated PC a copy in memory; what
# the command leaves in /job/out comes back), scripts/guest is
# /plovane/guest, and the tree is read-only.

source "$ROOT/scripts/lib/i386_system.sh"
source "$ROOT/scripts/lib/emulated_pc.sh"

RUN32="${PLOVANE_RUN32:-}"

# Whether the kernel runs 32-bit x86 programs (some run without IA-32
# emulation: execve fails with "Exec format error"). Probed with a minimal
# 32-bit Linux program (ELF header, one segment, exit(0)).
can_run_32bit() {
    local probe status=0
    probe="$(mktemp)"
    {
        printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
        printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
        printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
        printf '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'
        printf '\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00'
        printf '\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'
    } >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" -eq 0 ]
}

# Empty when bwrap makes the namespaces a job needs; else what it said.
bwrap_refusal() {
    local said
    said=$(bwrap --ro-bind / / --unshare-all --die-with-parent /bin/true 2>&1) && return 0
    echo "${said:-bwrap failed}" | head -1
}

run32_choose() {
    case "$RUN32" in
    native)
        can_run_32bit || { echo "PLOVANE_RUN32=native: this machine's kernel runs no 32-bit programs" >&2; return 1; }
        ensure_packages bubblewrap
        return 0 ;;
    emulated) return 0 ;;
    "") ;;
    *) echo "PLOVANE_RUN32 must be native or emulated, not '$RUN32'" >&2; return 1 ;;
    esac
    if ! can_run_32bit; then
        echo "== this machine's kernel runs no 32-bit programs (IA-32 emulation is off): the emulated PC"
        RUN32=emulated
        return 0
    fi
    ensure_packages bubblewrap
    local refusal
    refusal=$(bwrap_refusal)
    if [ -n "$refusal" ]; then
        echo "== bwrap cannot make its namespaces here (user namespaces disabled?): $refusal"
        echo "== so the i386 system is booted in the emulated PC instead"
        RUN32=emulated
        return 0
    fi
    RUN32=native
}

run32_ensure() {
    mkdir -p "$ROOT/build"
    run32_choose
    [ "$RUN32" = emulated ] && ensure_packages qemu-system-x86
    sys32_ensure
}

# bwrap_enter JOB LIMIT_S COMMAND...: COMMAND in the tree, natively, with
# JOB at /job. LIMIT_S 0: no limit and the terminal kept (a shell).
bwrap_enter() {
    local job="$1" limit="$2"
    shift 2
    local root_bind=--ro-bind
    [ -n "${SYS32_WRITABLE:-}" ] && root_bind=--bind
    local args=("$root_bind" "$SYS32_DIR/root" / --proc /proc --dev /dev --tmpfs /dev/shm
        --tmpfs /tmp --tmpfs /run --tmpfs /var/tmp --tmpfs /var/lib/xkb --bind "$job" /job --chdir /job
        --ro-bind "$ROOT/scripts/guest" /plovane/guest
        --unshare-all --die-with-parent --hostname plovane-i386 --clearenv
        --setenv PATH /usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin --setenv HOME /tmp/home
        --setenv LANG C.UTF-8 --setenv TERM "${TERM:-dumb}")
    if [ "$limit" -eq 0 ]; then
        bwrap "${args[@]}" "$@"
    else
        # In the caller's process group, so that a Ctrl-C reaches it.
        timeout --foreground --kill-after=5 "$limit" bwrap "${args[@]}" --new-session "$@" </dev/null
    fi
}

run32_enter() {
    if [ "$RUN32" = native ]; then bwrap_enter "$@"; else pc_enter "$@"; fi
}

# run32_job JOB LIMIT_S COMMAND [ARGS...]: COMMAND in /job with Wine's
# environment, a virtual display and a persistent Wine server
# (scripts/guest/session.sh).
run32_job() {
    local job="$1" limit="$2"
    shift 2
    run32_enter "$job" "$limit" bash /plovane/guest/session.sh "$@"
}

# Where the shipped DLL ran, with its SHA-256.
say_where_the_dll_ran() {
    local where
    where="natively in the i386 system (bwrap, $(uname -m) kernel)"
    [ "$RUN32" = emulated ] &&
        where="in the emulated 32-bit PC (QEMU $(qemu-system-i386 --version | awk 'NR == 1 { print $4 }'), software emulation)"
    echo "== the shipped DLL ran under the i386 system's 32-bit Wine, $where:"
    echo "   $(sha256sum "$ROOT/dist/xmp_plovane.dll" | sed "s|$ROOT/||")"
}
