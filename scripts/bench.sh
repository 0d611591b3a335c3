#!/usr/bin/env bash
# Runs every benchmark of the simulated board with instruction counting
# (run.sh -i: one vCPU, guest time follows the instructions executed), on
# each kernel given (default both), and prints one table of ratios: each
# deliverable against a floor measured in the same run that does what its
# work requires and nothing more. Then, on the Debian board with the
# packages installed (sim/debian/run.sh -c), the ToD under load: halvern@2
# as its unit starts it, from the PPS read's return to the end of the
# serial write, idle and with every CPU busy, as shipped and with the other
# scheduling policy. Not a test: figures, not verdicts. The first run on a
# fresh machine also builds the Debian board's image (about 7 minutes).
#   scripts/bench.sh [-k 5.4|6.1]...
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/sim/board/kernel.sh"
. "$top/scripts/tap-lib.sh"
kernels=()
while getopts "k:" opt; do
    case $opt in
        k) board_check_kernel "$OPTARG" || exit 2; kernels+=("$OPTARG") ;;
        *) echo "usage: bench.sh [-k 5.4|6.1]..." >&2; exit 2 ;;
    esac
done
[ ${#kernels[@]} -gt 0 ] || kernels=(5.4 6.1)

declare -A ratio
tod=()
"$top/scripts/package.sh" "$top/build/bench-package" >/dev/null || { echo "bench: the package does not build"; exit 1; }
package=$(ls "$top"/build/bench-package/timing-support_*_arm64.deb)
for kernel in "${kernels[@]}"; do
    build=$top/build/bench-$kernel
    "$top/sim/board/build.sh" -k "$kernel" "$build" >/dev/null || { echo "bench: the $kernel board does not build"; exit 1; }
    for bench in "$build"/rootfs/bench/*_bench; do
        name=$(basename "$bench")
        "$top/sim/board/run.sh" -b "$build" -i "$name" >/dev/null
        grep -E '^bench: ' "$build/logs/$name.console" | sed "s/^bench: /$kernel $name: /"
        tap_read "$build/logs/$name.console" || echo "$kernel $name: FAILED, its figures are not whole" \
            "(${tap_problem:-$tap_failed failed}; $build/logs/$name.console)"
        while read -r _ _ what value; do
            ratio[$kernel,$what]=$value
        done < <(grep -E '^bench: ratio [a-z_]+/[a-z_]+ [0-9.]+$' "$build/logs/$name.console")
    done
    KBUILD_EXTRA_SYMBOLS=$build/kmod/sim/Module.symvers "$top/scripts/package-module.sh" "$build/headers" \
        "$build/module-package" >/dev/null || { echo "bench: the $kernel module package does not build"; exit 1; }
    "$top/sim/debian/run.sh" -c -b "$build" -o "$build/debian" -t 1800 -s tod-load "$package" \
        "$build/module-package" >/dev/null
    grep -E '^bench: tod ' "$build/debian/logs/tod-load.console" | sed "s/^bench: /$kernel /"
    tap_read "$build/debian/logs/tod-load.console" || echo "$kernel tod-load: FAILED, its figures are not whole" \
        "(${tap_problem:-$tap_failed failed}; $build/debian/logs/tod-load.console)"
    while read -r _ _ label _ tail value rest; do
        tod+=("$(printf '%-8s %-16s %5s %8s  %s' "$kernel" "$label" "$tail" "$value" "$rest")")
    done < <(grep -E '^bench: tod [a-z-]+ loaded/unloaded p99(\.9)? ' "$build/debian/logs/tod-load.console")
done

columns=(halvern/floor halvern/floor_with_trace morrask/floor morrask/floor_with_check kv_ptp/floor kv_ptp/floor_with_soc_call)
echo
printf '%-8s' kernel
printf ' %s' "${columns[@]}"
echo
for kernel in "${kernels[@]}"; do
    printf '%-8s' "$kernel"
    for column in "${columns[@]}"; do
        printf " %${#column}s" "${ratio[$kernel,$column]:--}"
    done
    echo
done
echo "floor_with_trace: halvern's floor with the two trace texts it prints per PPS"
echo "floor_with_check: morrask's floor with the status call per line carried out that checks the file is unchanged"
echo "floor_with_soc_call: kv_ptp's floor with the one call into the SoC's PTP driver that each query makes"

echo
echo "ToD from the PPS read's return to the end of the serial write, halvern@2 on the Debian board:"
printf '%-8s %-16s %5s %8s\n' kernel setting tail "loaded/unloaded"
printf '%s\n' "${tod[@]}"
