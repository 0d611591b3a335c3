#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test: the unit and
# program tests, the guest suites on the simulated board, the unit and
# program tests again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the aarch64 cross build of the deliverables.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" || exit 1
"$top/sim/board/prepare.sh" >/dev/null || exit 1

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
    cat "$dir"/board/logs/*.console 2>/dev/null | grep -E '^board result:' || true
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

run_suite "host build and simulated board" "$top/build/host" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBOARD_TESTS=ON
run_suite "sanitizer build" "$top/build/sanitize" -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON

echo "== aarch64 cross build"
if "$top/scripts/cross-build.sh" "$top/build/aarch64"; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
