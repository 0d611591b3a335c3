#!/usr/bin/env bash
# The main job, on the simulated board (QEMU, Debian's arm64 kernel): morrask
# loads the sample PLL configuration over spidev and pulses the reset line
# through /dev/mem, kv_ptp sets up the SoC's clock hardware and answers a PPS
# time query, halvern sends the time of day at every PPS. The first run
# prepares the board (packages, kernel download); later runs take seconds.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$top/build/board

echo "== preparing and building the simulated board"
"$top/sim/board/build.sh" "$build" | tail -n 1
status=0
"$top/sim/board/run.sh" -b "$build" -t 120 demo | grep -v -E '^\[ *[0-9.]+\]' || status=1
echo "== the host's copy of what left ttyS2: $(cat "$build/logs/demo.ttyS2")"
exit "$status"
