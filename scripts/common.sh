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
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq </dev/null
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

# WINE_BITS: 32 where 32-bit programs run, so that the DLL users get runs
# under Wine; otherwise 64, and the Windows programs that run here are a
# 64-bit build of the same sources.
if [ -z "${WINE_BITS:-}" ]; then
    if can_run_32bit; then WINE_BITS=32; else WINE_BITS=64; fi
fi

ensure_windows_tools() {
    if [ "$WINE_BITS" = 32 ]; then
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            echo "== enabling the i386 architecture for Wine"
            as_root dpkg --add-architecture i386
            APT_UPDATED=0
        fi
        ensure_packages cmake ninja-build g++-mingw-w64-i686 wine wine32:i386 xvfb xauth
    else
        echo "== this machine cannot run 32-bit programs (the kernel's IA-32 emulation is off):"
        echo "   the 32-bit DLL is built and checked, and the Windows programs run here are a"
        echo "   64-bit build of the same sources under 64-bit Wine"
        ensure_packages cmake ninja-build g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 xvfb xauth
    fi
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

# The architecture of the Windows programs that run here.
run_arch() {
    if [ "$WINE_BITS" = 32 ]; then echo i686; else echo x86_64; fi
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

# The DLL and the stand-in player that run here: those of windows_build,
# or a 64-bit build of them (build/windows64). Extra arguments go to CMake.
# Sets RUN_DIR to the tree.
run_build() {
    RUN_DIR="$ROOT/build/windows"
    [ "$WINE_BITS" = 32 ] && return 0
    RUN_DIR="$ROOT/build/windows64"
    windows_configure "$RUN_DIR" -DPLOVANE_MINGW_ARCH=x86_64 "$@"
    cmake --build "$RUN_DIR" -j "$JOBS"
}

# Builds the end-to-end tests (GoogleTest needs MinGW's posix thread model)
# against the DLL that runs here (run_build).
e2e_build() {
    local dir="$ROOT/build/windows-e2e-$(run_arch)"
    windows_configure "$dir" -DCMAKE_BUILD_TYPE=Release -DPLOVANE_MINGW_ARCH="$(run_arch)" \
        -DPLOVANE_MINGW_THREADS=posix -DPLOVANE_BUILD_PLUGIN=OFF -DPLOVANE_BUILD_E2E_TESTS=ON \
        -DPLOVANE_DLL_UNDER_TEST="$RUN_DIR/xmp_plovane/xmp_plovane.dll" \
        -DPLOVANE_EH_PROBE_DLL="$RUN_DIR/tests/windows/eh_probe/plovane_eh_probe.dll"
    cmake --build "$dir" -j "$JOBS"
    E2E_DIR="$dir"
}

# Starts a virtual display and a persistent Wine server, both inside the
# build tree's reach and stopped again when the calling script exits.
wine_start() {
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
