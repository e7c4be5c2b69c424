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

ensure_windows_tools() {
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "== enabling the i386 architecture for Wine"
        as_root dpkg --add-architecture i386
        APT_UPDATED=0
    fi
    ensure_packages cmake ninja-build g++-mingw-w64-i686 wine wine32:i386 xvfb xauth
}

# Builds xmp_plovane.dll and the stand-in player, and copies them to dist/.
# Extra arguments go to CMake.
windows_build() {
    local dir="$ROOT/build/windows"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
    mkdir -p "$ROOT/dist"
    i686-w64-mingw32-strip -o "$ROOT/dist/xmp_plovane.dll" "$dir/xmp_plovane/xmp_plovane.dll"
    i686-w64-mingw32-strip -o "$ROOT/dist/stand_in_player.exe" "$dir/stand_in_player/stand_in_player.exe"
}

# Builds the end-to-end tests (GoogleTest needs MinGW's posix thread model)
# against the DLL windows_build made.
e2e_build() {
    local dir="$ROOT/build/windows-e2e"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" -DPLOVANE_MINGW_THREADS=posix \
        -DPLOVANE_BUILD_PLUGIN=OFF -DPLOVANE_BUILD_E2E_TESTS=ON \
        -DPLOVANE_DLL_UNDER_TEST="$ROOT/build/windows/xmp_plovane/xmp_plovane.dll" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

# Starts a virtual display and a persistent Wine server, both inside the
# build tree's reach and stopped again when the calling script exits.
wine_start() {
    export WINEPREFIX="$ROOT/build/wine-prefix"
    export WINEARCH=win32
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
    wine wineboot -i </dev/null >/dev/null 2>&1
}

wine_stop() {
    wineserver -k >/dev/null 2>&1 || true
    if [ -n "${PLOVANE_XVFB_PID:-}" ]; then
        kill "$PLOVANE_XVFB_PID" >/dev/null 2>&1 || true
        wait "$PLOVANE_XVFB_PID" 2>/dev/null || true
        PLOVANE_XVFB_PID=
    fi
}
