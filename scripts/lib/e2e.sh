# The end-to-end suite: built for i686 against the shipped DLL, run in the
# i386 system by one runner (guest/e2e_cases.sh), whichever way it is
# entered.

# Builds the suite (GoogleTest needs MinGW's posix thread model) against
# dist/xmp_plovane.dll and the probe DLL (a general caller's, built in the
# tree that builds the DLL). Sets E2E_DIR.
e2e_build() {
    local dir="$ROOT/build/windows-e2e-i686"
    # The probe of these sources (its tree is the one that builds the DLL).
    [ -f "$ROOT/build/windows/build.ninja" ] || windows_configure "$ROOT/build/windows"
    cmake --build "$ROOT/build/windows" -j "$JOBS" --target plovane_eh_probe eh_reference >/dev/null
    windows_configure "$dir" -DCMAKE_BUILD_TYPE=Release -DPLOVANE_MINGW_ARCH=i686 \
        -DPLOVANE_MINGW_THREADS=posix -DPLOVANE_BUILD_PLUGIN=OFF -DPLOVANE_BUILD_E2E_TESTS=ON \
        -DPLOVANE_DLL_UNDER_TEST="$ROOT/dist/xmp_plovane.dll" \
        -DPLOVANE_EH_PROBE_DLL="$ROOT/build/windows/tests/windows/eh_probe/plovane_eh_probe.dll"
    cmake --build "$dir" -j "$JOBS"
    E2E_DIR="$dir"
}

# e2e_run [FILTER]: the cases FILTER names (default: all), one Wine process
# per case. A case gets 300 s natively, 600 s in the emulated PC (several
# times slower); one whose process stalls as a whole (no CPU time for 60 s)
# is reported, stacks included, and ended. PLOVANE_CASE_LIMIT sets another
# limit; PLOVANE_SOAK, and PLOVANE_SEEDS and PLOVANE_STEPS (the randomized
# host's runs), pass through.
e2e_run() {
    local filter="${1:-*}" limit=300 job
    [ "$RUN32" = emulated ] && limit=600
    limit="${PLOVANE_CASE_LIMIT:-$limit}"
    job=$(new_job e2e)
    cp "$E2E_DIR/tests/windows/plovane_e2e_tests.exe" "$E2E_DIR/tests/windows/xmp_plovane.dll" \
        "$E2E_DIR/tests/windows/plovane_eh_probe.dll" "$E2E_DIR/tests/windows/eh_reference.dll" "$job/"
    # The whole run's limit is a backstop only.
    run32_job "$job" 7200 env PLOVANE_SOAK="${PLOVANE_SOAK:-}" PLOVANE_SEEDS="${PLOVANE_SEEDS:-}" \
        PLOVANE_STEPS="${PLOVANE_STEPS:-}" bash /plovane/guest/e2e_cases.sh "$limit" "$filter" 60
}
