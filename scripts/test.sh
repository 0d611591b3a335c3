#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test: the unit and
# program tests, the guest suites on the simulated board on its two kernels
# (the development build on 5.4, the board's line; what the Debian package
# holds on Debian's 6.1), kv_ptp's suites on the 5.4 kernel with its runtime
# checkers (5.4-debug), the board's Debian package and the binary module
# package for the 5.4 kernel (their checks, and the kv_ptp suite on the
# packaged module), the unit and program tests again under valgrind and under AddressSanitizer
# (with leak checks) and UndefinedBehaviorSanitizer, bounded fuzz runs, and
# the aarch64 cross build of the deliverables.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" || exit 1
for kernel in 5.4 5.4-debug 6.1; do
    "$top/sim/board/prepare.sh" -k "$kernel" >/dev/null || exit 1
done

passed=0
failed=0

# Builds one configuration and runs its tests; adds CTest's counts to the totals.
run_suite() {
    local name=$1 dir=$2
    shift 2
    echo "== $name"
    if ! cmake -S "$top" -B "$dir" "$@" >/dev/null || ! cmake --build "$dir" -j "$(nproc)" >/dev/null; then
        echo "$name: build failed"
        failed=$((failed + 1))
        return
    fi
    local log
    log=$(cd "$dir" && ctest --output-on-failure 2>&1)
    echo "$log" | grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test)' || true
    # Each guest suite's own result, by board build (kernel) and suite.
    grep -H -E '^board result:' "$dir"/*/logs/*.console 2>/dev/null |
        sed -E "s|^$dir/([^/]*)/logs/([^/]*)\.console:board result: |\1.\2: |" || true
    local summary
    summary=$(echo "$log" | grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' | tail -1)
    if [ -z "$summary" ]; then
        failed=$((failed + 1))
        return
    fi
    local bad total
    bad=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    total=$(echo "$summary" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
    passed=$((passed + total - bad))
    failed=$((failed + bad))
}

run_suite "host build, simulated board and package" "$top/build/host" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBOARD_TESTS=ON -DPACKAGE_TESTS=ON

# The host test programs under valgrind, the programs they start included: any
# memory error or leak fails the program's run.
echo "== valgrind"
for program in "$top"/build/host/tests/*_tests; do
    if valgrind -q --error-exitcode=99 --trace-children=yes --leak-check=full \
        --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
        "$program" >"$program.valgrind" 2>&1; then
        echo "$(basename "$program"): no memory error, no leak"
        passed=$((passed + 1))
    else
        cat "$program.valgrind"
        echo "$(basename "$program"): failed under valgrind"
        failed=$((failed + 1))
    fi
done

ASAN_OPTIONS=detect_leaks=1 run_suite "sanitizer build" "$top/build/sanitize" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON

# Bounded fuzz runs, a CPU each; scripts/fuzz.sh with a larger time runs
# them for long.
echo "== fuzzing, 10 s per target"
fuzz_log=$("$top/scripts/fuzz.sh" 10 2>&1)
echo "$fuzz_log" | grep -v -E '^[0-9]+ passed, [0-9]+ failed$'
fuzz_counts=$(echo "$fuzz_log" | grep -E '^[0-9]+ passed, [0-9]+ failed$' | tail -n 1)
if [ -n "$fuzz_counts" ]; then
    passed=$((passed + $(echo "$fuzz_counts" | cut -d' ' -f1)))
    failed=$((failed + $(echo "$fuzz_counts" | cut -d' ' -f3)))
else
    failed=$((failed + 1))
fi

echo "== aarch64 cross build"
if "$top/scripts/cross-build.sh" "$top/build/aarch64"; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
