# Runs the end-to-end suite in the emulated PC: one Wine process per case,
# each within a time limit, a line per case, and the failures in the exit
# status. Its folder (the job's) holds plovane_e2e_tests.exe and the DLLs it
# loads; they are copied into memory first (Wine must not map them from 9p).
# Arguments: the time limit per case in seconds, then a GoogleTest filter
# (default: every case). The environment (PLOVANE_SOAK) passes through.
limit="${1:-300}"
filter="${2:-*}"
work=/tmp/e2e
mkdir -p "$work"
cp /job/plovane_e2e_tests.exe /job/xmp_plovane.dll /job/plovane_eh_probe.dll /job/eh_reference.dll "$work/"
cd "$work" || exit 1

echo "shipped DLL in the emulated PC: $(sha256sum xmp_plovane.dll | cut -d' ' -f1)"
echo "$(wine --version), $(uname -m), $(nproc) CPUs"

# Wine's console writes CRLF line ends.
cases=$(wine plovane_e2e_tests.exe --gtest_list_tests --gtest_filter="$filter" </dev/null | tr -d '\r' |
    awk '/^[^ ]/ { suite = $1; next } /^  / { print suite $1 }')
if [ -z "$cases" ]; then
    echo "e2e: no case listed" >&2
    exit 1
fi

passed=0
failed=()
for name in $cases; do
    start=$(date +%s)
    status=0
    timeout --kill-after=10 "$limit" wine plovane_e2e_tests.exe --gtest_filter="$name" \
        </dev/null >"$work/case.log" 2>&1 || status=$?
    seconds=$(($(date +%s) - start))
    if [ "$status" -eq 0 ] && grep -q '^\[  PASSED  \] 1 test' "$work/case.log"; then
        passed=$((passed + 1))
        printf '  passed  %-80s %4d s\n' "$name" "$seconds"
        # What a case reports of itself (counts, leftovers) is kept.
        tr -d '\r' <"$work/case.log" | grep -vE '^(\[|Note: |Running main|$)' | sed 's/^/          /'
    else
        failed+=("$name")
        [ "$status" -eq 124 ] && echo "e2e: $name: ended after its limit of $limit s"
        printf '  FAILED  %-80s %4d s (status %d)\n' "$name" "$seconds" "$status"
        tr -d '\r' <"$work/case.log" | sed 's/^/          /'
        # One that ended abnormally may leave Wine processes behind.
        wineserver -k 2>/dev/null
        wineserver -p
    fi
done

echo "e2e: ${passed} passed, ${#failed[@]} failed"
for name in "${failed[@]}"; do echo "  failed: $name"; done
[ "${#failed[@]}" -eq 0 ]
