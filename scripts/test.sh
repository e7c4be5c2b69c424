#!/usr/bin/env bash
# Runs every test: the native tests on the emulated Windows, plain, under
# ThreadSanitizer and under AddressSanitizer with UndefinedBehaviorSanitizer;
# then the real xmp_plovane.dll: its exports and imports, the release, and
# the end-to-end tests of the shipped DLL under 32-bit Wine on a virtual
# display, natively or in the emulated 32-bit PC. Installs what it needs
# first.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_native_tools
ensure_windows_tools
ensure_packages zip unzip

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
export ASAN_OPTIONS="halt_on_error=1 detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"

run_suite() {
    local name="$1"
    shift
    local dir="$ROOT/build/test-$name"
    echo "== native tests: $name"
    native_build "$dir" "$@"
    ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --no-tests=error
}

run_suite plain
run_suite tsan -DPLOVANE_SANITIZE=thread
run_suite asan-ubsan -DPLOVANE_SANITIZE=address,undefined
echo "== windows build: xmp_plovane.dll, its exports and imports"
windows_build
ctest --test-dir "$ROOT/build/windows" --output-on-failure --no-tests=error

echo "== release: the package, built twice in two directories, byte for byte"
bash "$ROOT/scripts/release.sh"
check_release() {
    local version zip scratch name
    version=$(project_version)
    zip="$ROOT/dist/plovane-$version-win32.zip"
    scratch="$(mktemp -d)"
    local listed
    listed=$(unzip -Z1 "$zip" | sort | paste -sd' ')
    if [ "$listed" != "LICENSE README.txt SHA256SUMS stand_in_player.exe xmp_plovane.dll" ]; then
        echo "release: the zip holds: $listed" >&2
        return 1
    fi
    unzip -q -d "$scratch/unpacked" "$zip"
    (cd "$scratch/unpacked" && sha256sum -c --quiet SHA256SUMS)
    mkdir -p "$scratch/second/plovane"
    (cd "$ROOT" && tar --exclude=./build --exclude=./dist -cf - .) | tar -xf - -C "$scratch/second/plovane"
    bash "$scratch/second/plovane/scripts/release.sh" >/dev/null
    for name in xmp_plovane.dll stand_in_player.exe "plovane-$version-win32.zip"; do
        if ! cmp -s "$ROOT/dist/$name" "$scratch/second/plovane/dist/$name"; then
            echo "release: $name differs between two builds of one commit" >&2
            return 1
        fi
        echo "   identical: $(cd "$ROOT/dist" && sha256sum "$name")"
    done
    rm -rf "$scratch"
}
check_release

echo "== end-to-end tests of the shipped DLL, dist/xmp_plovane.dll ($RUN32)"
unzip -p "$ROOT/dist/plovane-$(project_version)-win32.zip" xmp_plovane.dll | cmp - "$ROOT/dist/xmp_plovane.dll"
e2e_build
# In the emulated PC a case gets 600 s: the PC runs several times slower,
# and a hang still ends within the case's own 30 s watchdog.
e2e_run 600
say_where_the_dll_ran
echo "== all tests passed"
