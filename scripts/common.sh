# Shared by the project's commands: installs what is missing, quietly.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

APT_UPDATED=0
apt_install() {
    if [ "$APT_UPDATED" -eq 0 ]; then
        # An index that fails to download (one being synced) is reported and
        # the others used: what is needed may well not be in it.
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq </dev/null ||
            echo "== apt-get update reported errors (above); going on with the indexes it has"
        APT_UPDATED=1
    fi
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" </dev/null >/dev/null
}

# ensure_packages PACKAGE...: installs the Debian packages that are not installed.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "== installing ${missing[*]}"
        apt_install "${missing[@]}"
    fi
}

ensure_native_tools() {
    ensure_packages cmake ninja-build g++ libgtest-dev libgmock-dev
}

# native_build DIR [CMAKE ARGS...]: configures and builds the native tree.
native_build() {
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

# --- Windows: the cross-compiler, Wine and a virtual display.

# Whether this machine runs 32-bit x86 programs. Some kernels run without
# IA-32 emulation (execve of a 32-bit program fails with "Exec format
# error"), and then no 32-bit Wine can run. Probed with a minimal 32-bit
# Linux program (ELF header, one segment, exit(0)).
can_run_32bit() {
    local probe
    probe="$(mktemp)"
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' >"$probe"
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' >>"$probe"
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' >>"$probe"
    printf '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08' >>"$probe"
    printf '\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00' >>"$probe"
    printf '\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >>"$probe"
    chmod +x "$probe"
    local status=0
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    [ "$status" -eq 0 ]
}

# Where the DLL users get (32-bit) runs: "native", under this machine's
# 32-bit Wine, or "emulated", in the emulated 32-bit PC
# (scripts/emulated_pc.sh) where the kernel runs no 32-bit programs or
# 32-bit Wine cannot be installed. PLOVANE_RUN32 may name one. Set by
# ensure_windows_tools.
RUN32="${PLOVANE_RUN32:-}"
# The Wine that runs Windows programs natively: 32, or 64 for the bench's
# timings where 32-bit programs do not run here.
WINE_BITS=32

# Installs 32-bit Wine from this machine's i386 packages; false, with the
# machine as it was, when they cannot be installed (an i386 index out of
# sync with the amd64 one is enough).
ensure_native_wine32() {
    dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" && return 0
    local added=0
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
        APT_UPDATED=0
        added=1
    fi
    echo "== installing 32-bit Wine (wine32:i386)"
    if apt_install wine wine32:i386 2>"$ROOT/build/apt-wine32.log"; then return 0; fi
    echo "== 32-bit Wine cannot be installed here: $(grep '^E:' "$ROOT/build/apt-wine32.log" | tail -1)"
    if [ "$added" -eq 1 ]; then
        as_root dpkg --remove-architecture i386 2>/dev/null || true
        APT_UPDATED=0
    fi
    return 1
}

ensure_windows_tools() {
    mkdir -p "$ROOT/build"
    ensure_packages cmake ninja-build g++-mingw-w64-i686 xvfb xauth
    if [ -z "$RUN32" ]; then
        if ! can_run_32bit; then
            echo "== this machine runs no 32-bit programs (the kernel's IA-32 emulation is off)"
            RUN32=emulated
        elif ensure_native_wine32; then
            RUN32=native
        else
            RUN32=emulated
        fi
    fi
    if [ "$RUN32" = native ]; then
        ensure_native_wine32 || { echo "32-bit Wine is not available here" >&2; return 1; }
    else
        echo "== the 32-bit programs run in the emulated 32-bit PC (QEMU, Debian i386, 32-bit Wine)"
        source "$ROOT/scripts/emulated_pc.sh"
        epc_ensure
    fi
}

# The bench's Wine for timings: 32-bit where the DLL runs natively, else
# 64-bit Wine with a 64-bit build of the same sources (emulated timings are
# not comparable).
ensure_timing_wine() {
    if [ "$RUN32" = native ]; then return 0; fi
    WINE_BITS=64
    ensure_packages g++-mingw-w64-x86-64 wine wine64
}

# The Wine loader for the programs that run here.
wine_loader() {
    if [ "$WINE_BITS" = 32 ]; then echo wine; else echo /usr/lib/wine/wine64; fi
}

# A Unix path as Wine's programs see it (drive Z: is the root); winepath
# itself would start the 32-bit loader.
windows_path() {
    local path="$1"
    echo "Z:${path//\//\\}"
}

# The version the project sets (CMakeLists.txt), e.g. 0.2.
project_version() {
    sed -n 's/^project(plovane VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt"
}

# windows_configure DIR [CMAKE ARGS...]: a MinGW tree, built as what we hand
# out is built (32-bit unless the arguments say otherwise).
windows_configure() {
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw.cmake" "$@" >/dev/null
}

# Builds xmp_plovane.dll and the stand-in player, and copies them to dist/.
# Extra arguments go to CMake.
windows_build() {
    local dir="$ROOT/build/windows"
    windows_configure "$dir" "$@"
    cmake --build "$dir" -j "$JOBS"
    mkdir -p "$ROOT/dist"
    # Linked without symbols: strip would only write a new time stamp.
    cp "$dir/xmp_plovane/xmp_plovane.dll" "$dir/stand_in_player/stand_in_player.exe" "$ROOT/dist/"
}

# The 64-bit build of the DLL and the stand-in player (build/windows64),
# for the bench's timings where 32-bit programs do not run here. Extra
# arguments go to CMake. Sets RUN_DIR to the tree that runs natively.
run_build() {
    RUN_DIR="$ROOT/build/windows"
    [ "$WINE_BITS" = 32 ] && return 0
    RUN_DIR="$ROOT/build/windows64"
    windows_configure "$RUN_DIR" -DPLOVANE_MINGW_ARCH=x86_64 "$@"
    cmake --build "$RUN_DIR" -j "$JOBS"
}

# Builds the end-to-end tests for i686 (GoogleTest needs MinGW's posix
# thread model) against the shipped DLL, dist/xmp_plovane.dll, and the probe
# DLL built like it (windows_build). Sets E2E_DIR.
e2e_build() {
    local dir="$ROOT/build/windows-e2e-i686"
    windows_configure "$dir" -DCMAKE_BUILD_TYPE=Release -DPLOVANE_MINGW_ARCH=i686 \
        -DPLOVANE_MINGW_THREADS=posix -DPLOVANE_BUILD_PLUGIN=OFF -DPLOVANE_BUILD_E2E_TESTS=ON \
        -DPLOVANE_DLL_UNDER_TEST="$ROOT/dist/xmp_plovane.dll" \
        -DPLOVANE_EH_PROBE_DLL="$ROOT/build/windows/tests/windows/eh_probe/plovane_eh_probe.dll"
    cmake --build "$dir" -j "$JOBS"
    E2E_DIR="$dir"
}

# e2e_run LIMIT_S [FILTER]: the end-to-end cases (all, or those FILTER
# names), one process per case, where the shipped DLL runs: natively
# through CTest (its time limit per case is in tests/windows/CMakeLists.txt)
# or in the emulated PC, each case within LIMIT_S seconds.
e2e_run() {
    local limit="$1" filter="${2:-*}"
    if [ "$RUN32" = native ]; then
        wine_start
        local regex=""
        [ "$filter" = "*" ] || regex="${filter//\*/.*}"
        ctest --test-dir "$E2E_DIR" --output-on-failure --no-tests=error ${regex:+-R "$regex"}
    else
        local job="$ROOT/build/emulated-pc-job"
        rm -rf "$job"
        mkdir -p "$job"
        cp "$E2E_DIR/tests/windows/plovane_e2e_tests.exe" "$E2E_DIR/tests/windows/xmp_plovane.dll" \
            "$E2E_DIR/tests/windows/plovane_eh_probe.dll" "$E2E_DIR/tests/windows/eh_reference.dll" \
            "$ROOT/scripts/e2e_cases.sh" "$job/"
        printf 'export PLOVANE_SOAK=%q\nbash /job/e2e_cases.sh %q %q\n' "${PLOVANE_SOAK:-}" "$limit" "$filter" \
            >"$job/suite.sh"
        # A backstop only: each case has its own limit.
        epc_run "$job" 2700 suite.sh
    fi
}

# Where the shipped DLL ran, with its SHA-256.
say_where_the_dll_ran() {
    local where
    if [ "$RUN32" = native ]; then
        where="natively, under $(wine --version) (32-bit)"
    else
        where="in the emulated 32-bit PC (QEMU $(qemu-system-i386 --version | awk 'NR == 1 { print $4 }'), Debian i386, 32-bit Wine)"
    fi
    echo "== the shipped DLL ran $where:"
    echo "   $(sha256sum "$ROOT/dist/xmp_plovane.dll" | sed "s|$ROOT/||")"
}

# Starts a virtual display and a persistent Wine server, both inside the
# build tree's reach and stopped again when the calling script exits.
wine_start() {
    [ -n "${PLOVANE_XVFB_PID:-}" ] && return 0
    export WINEPREFIX="$ROOT/build/wine-prefix-$WINE_BITS"
    if [ "$WINE_BITS" = 32 ]; then export WINEARCH=win32; else export WINEARCH=win64; fi
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer prompts
    local n
    for n in $(seq 90 199); do
        if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then break; fi
    done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    PLOVANE_XVFB_PID=$!
    export DISPLAY=":$n"
    trap wine_stop EXIT
    local i
    for i in $(seq 1 100); do
        [ -e "/tmp/.X11-unix/X$n" ] && break
        sleep 0.1
    done
    mkdir -p "$WINEPREFIX"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "== making a Wine prefix in $WINEPREFIX"
    fi
    wineserver -p
    "$(wine_loader)" wineboot -i </dev/null >/dev/null 2>&1
}

wine_stop() {
    wineserver -k >/dev/null 2>&1 || true
    if [ -n "${PLOVANE_XVFB_PID:-}" ]; then
        kill "$PLOVANE_XVFB_PID" >/dev/null 2>&1 || true
        wait "$PLOVANE_XVFB_PID" 2>/dev/null || true
        PLOVANE_XVFB_PID=
    fi
}
