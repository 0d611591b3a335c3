#!/usr/bin/env bash
# kv_ptp under the kernel's own checkers, on the 5.4-debug board kernel
# (KASAN, kmemleak, lockdep, UBSAN, fault injection, gcov). After every boot
# the guest's init unloads all modules, scans for leaks and checks the
# kernel log (sim/board/run.sh fails the run on any report).
#   1. coverage: the guest suites that use kv_ptp, with gcov's counters in
#      the module; the line coverage of its sources, and each line missed;
#   2. fault injection: every slab allocation of the load and of 0x124
#      fails in turn (sim/board/guest/kv_ptp_faults_check.cpp);
#   3. fuzzing: Debian's trinity on /dev/kv_ptp0..4 for CALLS calls, then
#      the module unloads and its suite passes;
#   4. the checks bite: a leak and a use-after-free planted in copies of
#      kv_ptp are reported, and fail the kv_ptp suite's run.
#   scripts/kernel-check.sh [-n CALLS] [DIR]     (default 5000 calls, build/kernel-check)
# About 20 minutes on 2 cores. Ends with "N passed, N failed".
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/sim/board/kernel.sh"
apt_name="kernel-check"
. "$top/scripts/apt-lib.sh"
. "$top/scripts/tap-lib.sh"
calls=5000
while getopts "n:" opt; do
    case $opt in
        n) calls=$OPTARG ;;
        *) echo "usage: kernel-check.sh [-n calls] [dir]" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
out=$(mkdir -p "${1:-$top/build/kernel-check}" && cd "${1:-$top/build/kernel-check}" && pwd)
board=$out/board
suites=(kv_ptp kv_ptp_clock kv_ptp_stress demo)
passed=0
failed=0

# Runs check $1 on board folder $2 with run.sh's arguments $3 (the suite)
# and on; counts it by run.sh's status, with the suite's own TAP counts.
check() {
    local name=$1 dir=$2 suite=$3 status
    shift 2
    "$top/sim/board/run.sh" -b "$dir" -t 1800 "$@" >"$out/$name.log" 2>&1
    status=$?
    tap_read "$dir/logs/$suite.console"
    grep -h -E '^(board: kernel report|run: )' "$out/$name.log" | grep -v 'PLL reset register'
    if [ "$status" -eq 0 ]; then
        echo "$name: $tap_passed passed, no kernel report"
        passed=$((passed + 1))
    else
        echo "$name: FAILED ($tap_passed passed, $tap_failed failed${tap_problem:+, $tap_problem}; $out/$name.log)"
        failed=$((failed + 1))
    fi
}

echo "== building the board for 5.4-debug, kv_ptp with gcov's counters"
"$top/sim/board/build.sh" -k 5.4-debug -c "$board" | tail -n 1 || exit 1
grep -E '^CONFIG_(KASAN|DEBUG_KMEMLEAK|PROVE_LOCKING|UBSAN|FAILSLAB|GCOV_KERNEL)=' "$board/headers/.config" |
    tr '\n' ' '
echo

echo "== 1. the kv_ptp suites, and the lines of kv_ptp they run"
for suite in "${suites[@]}"; do
    check "$suite" "$board" "$suite"
done
consoles=()
for suite in "${suites[@]}"; do consoles+=("$board/logs/$suite.console"); done
"$top/scripts/kernel-coverage.sh" "$board/kmod/kvLkmPtpAux/src/ptp" "${consoles[@]}" >"$out/coverage.txt"
cat "$out/coverage.txt"

echo "== 2. every allocation of the load and of 0x124 failing in turn"
# The load sweep stops where 5.4 leaves a class folder behind (the check
# says why) and goes on from there after a reboot.
from=1
for boot in 1 2 3 4 5 6 7 8 9 10; do
    check "kv_ptp_faults.load$boot" "$board" kv_ptp_faults every_failed_allocation_of_the_load_undoes_everything \
        "--from=$from"
    from=$(sed -n 's/.*goes on after a reboot with --from=\([0-9]*\)$/\1/p' "$out/kv_ptp_faults.load$boot.log")
    [ -n "$from" ] || break
done
check kv_ptp_faults.setup "$board" kv_ptp_faults every_failed_allocation_of_the_clock_setup_unmaps_what_it_mapped
sweeps=("$out"/kv_ptp_faults.*.log)
grep -h -E '^# (the load|0x124) makes' "${sweeps[@]}" | sed 's/^#/ /'
echo "  failures injected, by step (the kernel's loader, kv_ptp's steps, none: absorbed by the kernel):"
grep -h -E '^# allocation +[0-9]+: ' "${sweeps[@]}" | sed -E 's/^# allocation +[0-9]+: //; s/  +/ /g' |
    sort | uniq -c | sed 's/^/  /'
# Each step the sweeps name must have failed at least once.
while IFS= read -r step; do
    if ! grep -q -h -E "^# allocation +[0-9]+: $step +failed" "${sweeps[@]}"; then
        echo "kernel-check: no injected failure reached step '$step'"
        failed=$((failed + 1))
    fi
done < <(sed -n 's/^# step //p' "${sweeps[@]}" | sort -u)

echo "== 3. trinity on /dev/kv_ptp0..4, $calls calls, then the kv_ptp suite"
cache=$(board_cache_dir)/trinity
if [ ! -f "$cache/.complete" ]; then
    apt_unpack "$cache" trinity:arm64 libc6:arm64 || { apt_update && apt_unpack "$cache" trinity:arm64 libc6:arm64; } ||
        { echo "kernel-check: cannot download trinity:arm64"; exit 1; }
    touch "$cache/.complete"
fi
echo "trinity $(zcat "$cache/root/usr/share/doc/trinity/changelog.Debian.gz" | sed -n '1s/.*(\(.*\)).*/\1/p') (Debian's arm64 package)"
# The board's initramfs with trinity and the C library appended: the kernel
# unpacks concatenated archives in turn.
fuzz=$out/fuzz-board
rm -rf "$fuzz" && mkdir -p "$fuzz/root/bin" "$fuzz/root/lib/aarch64-linux-gnu"
cp "$cache/root/usr/bin/trinity" "$fuzz/root/bin/"
cp -L "$cache/root/lib/ld-linux-aarch64.so.1" "$fuzz/root/lib/"
cp -L "$cache/root/lib/aarch64-linux-gnu/libc.so.6" "$fuzz/root/lib/aarch64-linux-gnu/"
ln -s "$board/Image" "$fuzz/Image"
{
    cat "$board/initramfs.cpio.gz"
    (cd "$fuzz/root" && find . -print0 | cpio --null -o -H newc --owner=0:0 --quiet) | gzip -1
} >"$fuzz/initramfs.cpio.gz"
check kv_ptp_fuzz "$fuzz" kv_ptp_fuzz "$calls"
grep -h -E 'board: trinity|Ran [0-9]+ syscalls' "$out/kv_ptp_fuzz.log"

echo "== 4. the checks bite: faults planted in copies of kv_ptp fail the kv_ptp suite"
# Plants code $4 after the first line of file $2 that holds $3, in a copy of
# kv_ptp's source; the suite's run on it must fail with a report matching $5.
plant() {
    local name=$1 file=$2 anchor=$3 code=$4 report=$5 work=$out/planted-$1
    rm -rf "$work" && mkdir -p "$work"
    cp -r "$top/rte/sources/kvLkmPtpAux" "$work/source"
    awk -v anchor="$anchor" -v code="$code" '
        { print }
        $0 == "#include <linux/kernel.h>" { print "#include <linux/slab.h>" }
        !done && index($0, anchor) { print code; done = 1 }' "$top/rte/sources/kvLkmPtpAux/src/ptp/$file" \
        >"$work/source/src/ptp/$file"
    if ! grep -q -F "$code" "$work/source/src/ptp/$file" ||
        ! "$top/sim/board/build.sh" -k 5.4-debug -g "$board/guest" -s "$work/source" "$work/board" >"$work/build.log" 2>&1; then
        echo "planted $name: FAILED, the copy does not build ($work)"
        failed=$((failed + 1))
        return
    fi
    if ! "$top/sim/board/run.sh" -b "$work/board" kv_ptp >"$work/run.log" 2>&1 &&
        grep -q -E "^board: kernel report: .*$report" "$work/run.log"; then
        echo "planted $name: caught, $(grep -m 1 -o -E "$report.*" "$work/run.log")"
        passed=$((passed + 1))
    else
        echo "planted $name: FAILED, not reported ($work/run.log)"
        failed=$((failed + 1))
    fi
}
tab=$'\t'
plant leak kvPtpAux.c 'pr_info("kv_ptp: Devices created correctly' \
    "${tab}if (!kmalloc(64, GFP_KERNEL))${tab}/* never freed */${tab}return -ENOMEM;" 'unreferenced object'
plant use-after-free kv_ptp_ioctl.c 'int result;' \
    "${tab}{ u8 *gone = kmalloc(8, GFP_KERNEL); kfree(gone); if (gone && READ_ONCE(gone[0]) == 1) result = 1; }" \
    'KASAN: use-after-free'

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
