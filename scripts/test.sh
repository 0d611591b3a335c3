#!/usr/bin/env bash
# Installs what is needed, then builds and runs every test: CMake's workflow
# preset "all" (CMakePresets.json), whose CTest tests are every layer, each
# with its label (README.md lists them). Ends with "N passed, N failed",
# counted from CTest's own JUnit record of the run.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" || exit 1
. "$top/sim/board/kernel.sh"
for kernel in "${board_kernels[@]}"; do
    "$top/sim/board/prepare.sh" -k "$kernel" >/dev/null || exit 1
done

junit=$top/build/host/junit.xml
rm -f "$junit"
cd "$top" && CMAKE_BUILD_PARALLEL_LEVEL=$(nproc) cmake --workflow --preset all
status=$?

# A test CTest did not run (its fixture failed) counts as failed; so does a
# run that left no record (the configure or build step failed).
if [ -s "$junit" ]; then
    passed=$(grep -c '<testcase .*status="run"' "$junit")
    failed=$(grep -c -E '<testcase .*status="(fail|notrun)"' "$junit")
else
    passed=0
    failed=1
fi
[ "$status" -eq 0 ] || [ "$failed" -gt 0 ] || failed=1
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
