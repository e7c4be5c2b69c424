#!/usr/bin/env bash
# Runs every test: the engine's tests on the emulated Windows, plain, under
# ThreadSanitizer and under AddressSanitizer with UndefinedBehaviorSanitizer.
# Installs what it needs first.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_native_tools

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
echo "== all tests passed"
