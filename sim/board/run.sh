#!/usr/bin/env bash
# Boots the simulated board and runs one guest test suite (or benchmark):
#   sim/board/run.sh [-k 5.4|5.4-debug|6.1|DIR | -b BUILD_DIR] [-t SECONDS] [-r RESET_VALUE] [-i] SUITE [TEST...]
# The board is the one build.sh made in BUILD_DIR, by default the build for
# kernel -k (default 5.4, the board's line) in its default folder.
# The suite's TAP stream on the console (scripts/tap-lib.sh reads it)
# becomes this script's last line, "N passed, N failed", and its exit
# status; a suite that hangs, crashes, or whose stream has no plan or fewer
# results than planned counts as failed, and so does a run after which the
# kernel reports a fault (the guest's init prints "board: kernel report:"
# lines: a checker's report in the kernel log, a leak, a module that will
# not unload). RESET_VALUE (default 0x1234) is the
# PLL reset register's content at power-on. TEST... runs only those tests of
# the suite (a test's name, with or without its fixture's); --reverse among
# them runs the tests in reverse order. -i counts instructions: one vCPU and
# a guest clock that follows the instructions executed (QEMU's -icount), not
# the host's load, so that benchmark figures repeat; ttyS2 is then not looped
# back into ttyS3 (machine.sh says why).
set -uo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/sim/board/kernel.sh"
. "$top/sim/board/machine.sh"
. "$top/scripts/tap-lib.sh"
usage="usage: run.sh [-k kernel | -b build_dir] [-t seconds] [-r reset_value] [-i] suite [test...]"
kernel=$board_default_kernel
build=
limit=600
reset_value=0x1234
cpus=(-smp 2)
counted=
while getopts "k:b:t:r:i" opt; do
    case $opt in
        k) kernel=$OPTARG ;;
        b) build=$OPTARG ;;
        t) limit=$OPTARG ;;
        r) reset_value=$OPTARG ;;
        i) cpus=(-smp 1 -icount "shift=3,sleep=off") counted=counted ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
suite=${1:?$usage}
shift
tests=$(IFS=,; echo "$*")
board_check_kernel "$kernel" || exit 2
build=${build:-$(board_build_dir "$top" "$kernel")}

for file in Image initramfs.cpio.gz; do
    [ -e "$build/$file" ] || { echo "run: $build/$file missing; run sim/board/build.sh"; echo "0 passed, 1 failed"; exit 1; }
done

mkdir -p "$build/logs"
console=$build/logs/$suite.console
pipes=$(mktemp -d /tmp/board-uart.XXXXXX)
trap 'rm -rf "$pipes"' EXIT
board_machine_args "$pipes" "$build/logs/$suite" "$reset_value" $counted
timeout --kill-after=10 "$limit" qemu-system-aarch64 \
    -M virt -cpu cortex-a57 "${cpus[@]}" -nographic -nic none -no-reboot "${board_machine[@]}" \
    -kernel "$build/Image" -initrd "$build/initramfs.cpio.gz" \
    -append "console=ttyAMA0 mem=512M log_buf_len=8M panic=-1 quiet suite=$suite${tests:+ tests=$tests}" \
    </dev/null 2>&1 | tr -d '\r' | tee "$console"
status=${PIPESTATUS[0]}
word=$(board_reset_value "$pipes")
if [ -n "$word" ]; then
    echo "$word" >"$build/logs/$suite.reset"
    echo "run: PLL reset register after the run: $word (power-on value $reset_value)"
fi

if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "run: the board did not power off within $limit s"
    echo "0 passed, 1 failed"
    exit 1
fi
tap_read "$console"
[ -z "$tap_problem" ] || echo "run: suite $suite: $tap_problem (qemu exit status $status)"
[ "$tap_skipped" -eq 0 ] || echo "run: $tap_skipped skipped"
# A suite whose stream says all passed must also have exited with 0.
if [ "$tap_failed" -eq 0 ] && ! grep -q "^board: suite $suite exited with status 0$" "$console"; then
    echo "run: suite $suite did not exit with status 0"
    tap_failed=1
fi
if ! grep -q '^board: kernel checked$' "$console"; then
    echo "run: the kernel's checks after suite $suite did not finish"
    reports=1
else
    reports=$(grep -c '^board: kernel report: ' "$console")
    [ "$reports" -eq 0 ] || echo "run: the kernel reported $reports faults after suite $suite (above)"
fi
failed=$tap_failed
[ "$reports" -eq 0 ] || failed=$((failed + 1))
echo "$tap_passed passed, $failed failed"
[ "$failed" -eq 0 ]
