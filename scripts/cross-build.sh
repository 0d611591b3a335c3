#!/usr/bin/env bash
# Cross-builds the programs for the board (aarch64, static) into the given
# folder and checks that the results are what the board can run. Further
# arguments go to CMake's configure step.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top/build/aarch64}
shift || true

cmake -S "$top" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$out" --target morrask halvern kv-ptp-ctl -j "$(nproc)" >/dev/null

for program in pll-loader/morrask tod-sender/halvern kv-ptp-ctl/kv-ptp-ctl; do
    kind=$(file -b "$out/$program")
    echo "$(basename "$program"): $kind"
    case "$kind" in
        *"ARM aarch64"*"statically linked"*) ;;
        *) echo "cross-build: $out/$program is not a static aarch64 binary" >&2; exit 1 ;;
    esac
done
