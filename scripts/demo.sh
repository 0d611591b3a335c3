#!/usr/bin/env bash
# The main job.
#
# 1. morrask on the host simulation of its board access: it loads the sample
#    VKC configuration into a simulated PLL chip, then the chip's register map
#    and the reset register are shown. The simulated SPI bus stands behind
#    whatever device node the loader opens; the node must still exist for the
#    pre-flight check, hence -d null.
# 2. kv_ptp on the simulated board (QEMU, Debian's arm64 kernel): loaded,
#    asked for the PPS time on every node, unloaded.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build/host
config=${1:-$top/pll-loader/samples/vkc-pll.cfg}

"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" --target morrask-sim -j "$(nproc)" >/dev/null

report=$(mktemp)
trap 'rm -f "$report"' EXIT
status=0
MORRASK_SIM_REPORT=$report "$build/sim/host/morrask-sim" -b VKC -d null "$config" || status=$?

echo "== morrask exited with status $status"
echo "== reset register writes: $(grep '^mem_write16' "$report" | sed 's/.*value=//' | paste -sd' ')"
echo "== reset register after the run: $(sed -n '/^\[reset-register\]/{n;p}' "$report")"
echo "== simulated PLL chip: $(sed -n '/^\[chip\]/{n;p}' "$report")"
echo "== register map (address: 16 registers, -- never written)"
sed -n '/^\[registers\]/,$p' "$report" | tail -n +2

echo
echo "== kv_ptp on the simulated board"
"$top/sim/board/build.sh" "$top/build/board" >/dev/null
"$top/sim/board/run.sh" -b "$top/build/board" demo || status=1
exit "$status"
