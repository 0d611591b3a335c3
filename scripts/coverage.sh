#!/usr/bin/env bash
# Line and branch coverage of morrask, halvern and kv-ptp-ctl by the host
# tests: builds the host tree with gcov's counters into BUILD_DIR (default
# build/coverage), runs its unit and program tests (CTest labels; the programs
# they start, morrask-sim and halvern-sim, count too) and reports, with
# gcovr, each source file of pll-loader/, tod-sender/ and kv-ptp-ctl/ and
# the totals. Fails when the total line coverage is below 95 %.
#   scripts/coverage.sh [BUILD_DIR]
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$top/build/coverage}")
threshold=95

# The board's own seams, which need its devices; the simulation stands in
# for them in every host test, and the guest suites run them on the board.
#   pll-loader/platform_linux.cpp: spidev, flock on it, /dev/mem
#   kv-ptp-ctl/platform_linux.cpp: the kv_ptp device node and its ioctls
# tod-sender's platform is measured: tod_platform_tests runs it on the host.
excluded=(pll-loader/platform_linux.cpp kv-ptp-ctl/platform_linux.cpp)

command -v gcovr >/dev/null || { echo "coverage: gcovr not found; scripts/install-deps.sh installs it" >&2; exit 1; }

# Unoptimised, so that each line's count is that line's. The board and
# package layers stay off (their defaults).
if ! log=$(cmake -S "$top" -B "$out" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_EXE_LINKER_FLAGS=--coverage 2>&1) ||
    ! log=$(cmake --build "$out" -j "$(nproc)" 2>&1); then
    echo "$log"
    echo "coverage: $out does not build" >&2
    exit 1
fi

# Counters add up across runs: start from none, so that the figures repeat.
# The unit and program layers, less the scripts' tests, which run none of
# the programs' code.
find "$out" -name '*.gcda' -delete
(cd "$out" && ctest -L '^(unit|program)$' -E '^(apt_lib|defaults)$' -j "$(nproc)" --output-on-failure \
    >"$out/ctest.log" 2>&1)
tests=$?
grep -E '^[0-9]+% tests passed' "$out/ctest.log"

filters=()
for program in pll-loader tod-sender kv-ptp-ctl; do
    filters+=(--filter "$top/$program/")
done
for file in "${excluded[@]}"; do
    filters+=(--exclude "$top/$file")
done
# One gcov pass into JSON, then the line and the branch table from it. The
# programs use no exceptions: the branches to the handlers of the calls
# that might throw are no branches of theirs. morrask's and halvern's own
# builds never run here; their main.cpp is measured in morrask-sim and
# halvern-sim, and their objects without counters would only add those
# branches back, unmarked.
gcovr --root "$top" "${filters[@]}" --exclude-throw-branches --exclude-unreachable-branches \
    --exclude-directories '.*/(morrask|halvern)\.dir$' --json "$out/coverage.json" "$out" || exit 1
gcovr --add-tracefile "$out/coverage.json" --root "$top" --txt --print-summary || exit 1
gcovr --add-tracefile "$out/coverage.json" --root "$top" --txt --branches || exit 1

if [ "$tests" -ne 0 ]; then
    echo "coverage: tests failed, see $out/ctest.log" >&2
    exit 1
fi
gcovr --add-tracefile "$out/coverage.json" --root "$top" --fail-under-line "$threshold" >/dev/null ||
    { echo "coverage: line coverage below $threshold %" >&2; exit 1; }
