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
