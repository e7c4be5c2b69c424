#!/usr/bin/env bash
# Runs the tests, installing what they need first. With no argument, every
# stage in turn; or one stage:
#
#   native    the native tests on the emulated Windows: plain, under
#             ThreadSanitizer, under AddressSanitizer with UBSan, and each
#             suite shuffled in one process; shellcheck; and the scripts'
#             own test
#   dll       xmp_plovane.dll built, its interface checked
#   release   the release built twice in two folders, byte for byte
#   e2e [F]   the end-to-end suite on the shipped DLL in the i386 system
#             (natively or in the emulated PC); F: a GoogleTest filter
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
supervise "$@"
source "$ROOT/scripts/lib/run32.sh"
source "$ROOT/scripts/lib/e2e.sh"

stage_native() {
    ensure_native_tools
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
    export ASAN_OPTIONS="halt_on_error=1 detect_leaks=1"
    export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
    local name args
    for name in plain tsan asan-ubsan; do
        case "$name" in
        plain) args=() ;;
        tsan) args=(-DPLOVANE_SANITIZE=thread) ;;
        asan-ubsan) args=("-DPLOVANE_SANITIZE=address,undefined") ;;
        esac
        echo "== native tests: $name"
        native_build "$ROOT/build/test-$name" "${args[@]}"
        ctest --test-dir "$ROOT/build/test-$name" -j "$JOBS" --output-on-failure --no-tests=error
    done
    echo "== the native suites once more, each shuffled in one process (the seed is printed)"
    local suite log="$ROOT/build/test-plain/shuffled.log" status
    for suite in hotkey_engine_tests allocation_tests; do
        status=0
        timeout 300 "$ROOT/build/test-plain/tests/$suite" --gtest_shuffle >"$log" 2>&1 || status=$?
        grep -E "Randomizing|^\[  (PASSED|FAILED)" "$log" || true
        [ "$status" -eq 0 ] || { cat "$log"; echo "$suite failed, shuffled in one process" >&2; return 1; }
    done
    echo "== the scripts: shellcheck"
    ensure_packages shellcheck
    (cd "$ROOT" && find scripts .ci tests/scripts -type f \( -name '*.sh' -o -name run \) -print0 |
        xargs -0 shellcheck -x)
    echo "== the scripts: nothing left behind; the way into the i386 system"
    bash "$ROOT/tests/scripts/supervise_test.sh"
    bash "$ROOT/tests/scripts/run32_choose_test.sh"
}

stage_dll() {
    ensure_cross_tools
    echo "== windows build: xmp_plovane.dll, its interface"
    windows_build
    ctest --test-dir "$ROOT/build/windows" --output-on-failure --no-tests=error
}

stage_release() {
    ensure_cross_tools
    echo "== release: the package, built twice in two folders, byte for byte"
    bash "$ROOT/scripts/release.sh"
    bash "$ROOT/scripts/lib/check_release.sh"
}

stage_e2e() {
    ensure_cross_tools
    # The DLL of these sources, as released (after the release stage, it is).
    [ "${1:-}" = released ] || { echo "== the release's DLL of these sources"; bash "$ROOT/scripts/release.sh" >/dev/null; }
    unzip -p "$ROOT/dist/plovane-$(project_version)-win32.zip" xmp_plovane.dll | cmp - "$ROOT/dist/xmp_plovane.dll" ||
        { echo "dist/xmp_plovane.dll is not the release's: run the release stage" >&2; return 1; }
    run32_ensure
    echo "== end-to-end tests of the shipped DLL, dist/xmp_plovane.dll ($RUN32)"
    e2e_build
    e2e_run "${2:-*}"
    say_where_the_dll_ran
}

case "${1:-all}" in
native | dll | release) "stage_$1" ;;
e2e) stage_e2e fresh "${2:-*}" ;;
all)
    stage_native
    stage_dll
    stage_release
    stage_e2e released
    echo "== all tests passed" ;;
*) echo "usage: bash scripts/test.sh [native | dll | release | e2e [GTEST_FILTER]]" >&2; exit 2 ;;
esac
