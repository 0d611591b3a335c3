#!/usr/bin/env bash
# The main job, on the simulated board: morrask loads the sample PLL
# configuration over spidev and pulses the reset line through /dev/mem,
# kv_ptp sets up the SoC's clock hardware and answers a PPS time query
# (both asked for by kv-ptp-ctl), halvern sends the time of day at every
# PPS. The first run prepares the board (packages, kernel); later runs take
# seconds.
#   scripts/demo.sh [-k 5.4|5.4-debug|6.1|DIR]     (default 5.4, the board's kernel line)
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/sim/board/kernel.sh"
board_kernel_option "usage: demo.sh [-k $board_kernel_usage]" "$@"
build=$(board_build_dir "$top" "$kernel")

echo "== preparing and building the simulated board (kernel $kernel)"
"$top/sim/board/build.sh" -k "$kernel" "$build" | tail -n 1
status=0
"$top/sim/board/run.sh" -b "$build" -t 120 demo | grep -v -E '^\[ *[0-9.]+\]' || status=1
echo "== the host's copy of what left ttyS2: $(cat "$build/logs/demo.ttyS2")"
exit "$status"
