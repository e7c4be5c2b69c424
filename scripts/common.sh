# Shared by the project's commands: the supervisor, installing what is
# missing (quietly), and the builds. The 32-bit Windows programs run through
# lib/run32.sh.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"

# --- Nothing left behind: each command runs as the child of a supervisor
# that, however the command ends (normally, failed, Ctrl-C, SIGTERM from a
# CI limit), ends every process the command started: also those `timeout`
# or bwrap moved into process groups or sessions of their own, and those
# orphaned on the way. They are known by a mark in their environment, which
# every process inherits (inside bwrap's namespaces, which drop it, all die
# with bwrap itself).

# The processes carrying the mark MARK.
marked() {
    grep -lsz "^PLOVANE_SUPERVISED=$1\$" /proc/[0-9]*/environ 2>/dev/null |
        sed 's|^/proc/\([0-9]*\)/environ$|\1|' | grep -vx "$$" || true
}

# end_marked MARK: SIGTERM to the marked processes, then SIGKILL to those
# left after 3 s; returns once none is left.
end_marked() {
    local pids _
    pids=$(marked "$1")
    [ -n "$pids" ] || return 0
    # One process identifier a word.
    # shellcheck disable=SC2086
    kill -TERM $pids 2>/dev/null || true
    for _ in $(seq 1 30); do
        pids=$(marked "$1")
        [ -n "$pids" ] || return 0
        sleep 0.1
    done
    # shellcheck disable=SC2086
    kill -KILL $pids 2>/dev/null || true
    for _ in $(seq 1 30); do
        [ -n "$(marked "$1")" ] || return 0
        sleep 0.1
    done
}

# supervise "$@" at the top of a command: re-runs it as a marked child and
# waits for it.
supervise() {
    [ -n "${PLOVANE_SUPERVISED:-}" ] && return 0
    local mark child status=0
    mark="$$-$(date +%s%N)"
    PLOVANE_SUPERVISED="$mark" bash "$0" "$@" <&0 &
    child=$!
    # The mark is fixed now, so it is expanded now.
    # shellcheck disable=SC2064
    trap "end_marked $mark; exit 130" INT
    # shellcheck disable=SC2064
    trap "end_marked $mark; exit 143" TERM
    wait "$child" || status=$?
    end_marked "$mark"
    exit "$status"
}

# --- Packages.

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
    local missing=() package
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

ensure_cross_tools() {
    ensure_packages cmake ninja-build g++-mingw-w64-i686 zip unzip pev
}

# --- Builds.

# native_build DIR [CMAKE ARGS...]: configures and builds the native tree.
native_build() {
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

# The version the project sets (CMakeLists.txt), e.g. 0.5.
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

# A fresh job folder under build/jobs, for one run in the i386 system.
new_job() {
    local job="$ROOT/build/jobs/$1"
    rm -rf "$job"
    mkdir -p "$job"
    echo "$job"
}
