# Where the kernel runs no 32-bit programs, the bench's timings come from a
# 64-bit build of the same sources under the host's 64-bit Wine (those of
# the emulated PC are not comparable). The session is session.sh's, on the
# host: its own prefix in build/, a free display, the server stopped after.
#
#   run64_job JOB LIMIT_S COMMAND...    COMMAND in JOB, `wine` being wine64

run64_job() {
    local job="$1" limit="$2"
    shift 2
    ensure_packages g++-mingw-w64-x86-64 wine wine64 xvfb xauth
    local bin="$ROOT/build/wine64-bin" n status=0
    mkdir -p "$bin"
    ln -sf /usr/lib/wine/wine64 "$bin/wine"
    for n in $(seq 90 199); do
        [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ] && break
    done
    (
        export PATH="$bin:$PATH" WINEPREFIX="$ROOT/build/wine-prefix-64" WINEARCH=win64 WINEDEBUG=-all
        export WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=":$n"
        Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
        local xvfb=$!
        for _ in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
        wineserver -p
        wine wineboot -i </dev/null >/dev/null 2>&1
        cd "$job" && timeout --foreground "$limit" "$@" 2>&1 | tr -d '\r'
        local code="${PIPESTATUS[0]}"
        wineserver -k 2>/dev/null
        kill "$xvfb" 2>/dev/null
        exit "$code"
    ) || status=$?
    return "$status"
}
