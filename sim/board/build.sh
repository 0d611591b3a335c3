#!/usr/bin/env bash
# Builds everything the simulated board runs into one folder (default
# build/board): the kv_ptp module and the simulation modules for the board's
# arm64 kernel, the static aarch64 test programs, and the initramfs.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
out=$(mkdir -p "${1:-$top/build/board}" && cd "${1:-$top/build/board}" && pwd)
kernel=$("$top/sim/board/prepare.sh" | tail -n 1)
api_include=$top/rte/sources/kvLkmPtpAux/include

# Builds the out-of-tree module in folder $1 with kbuild; warnings are errors.
kbuild() {
    local dir=$1 log
    shift
    log=$(make -C "$kernel/headers" M="$dir" ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu- \
        "$@" modules 2>&1) || { echo "$log"; return 1; }
    if echo "$log" | grep -i -E 'warning|error'; then
        echo "build: warnings in $dir" >&2
        return 1
    fi
}

# Kbuild writes its objects beside the sources: build from copies.
rm -rf "$out/kmod" "$out/rootfs" "$out/logs"  # no results of an earlier build
mkdir -p "$out/kmod"
cp -r "$top/sim/board/kmod" "$out/kmod/sim"
cp -r "$top/rte/sources/kvLkmPtpAux" "$out/kmod/kvLkmPtpAux"
kbuild "$out/kmod/sim"
kbuild "$out/kmod/kvLkmPtpAux/src/ptp" KBUILD_EXTRA_SYMBOLS="$out/kmod/sim/Module.symvers"

# The shared header must hold its layout for C clients as well as C++ ones.
for cc in gcc aarch64-linux-gnu-gcc; do
    echo '#include "kvPtpAuxApi.h"' | $cc -std=gnu11 -Wall -Werror -I "$api_include" -fsyntax-only -x c -
done

root=$out/rootfs
mkdir -p "$root"/{bin,dev,proc,sys,tests,lib/board/sim,lib/board/tools}
cp "$kernel/busybox" "$root/bin/busybox"
install -m 0755 "$top/sim/board/init" "$root/init"
cp "$out/kmod/sim/sim_otx2_ptp.ko" "$root/lib/board/sim/"
cp "$out/kmod/sim/sim_fault.ko" "$root/lib/board/tools/"
cp "$out/kmod/kvLkmPtpAux/src/ptp/kv_ptp.ko" "$root/lib/board/"

guest_cxx() {
    aarch64-linux-gnu-g++ -std=c++17 -O2 -static -pthread -Wall -Wextra -Werror \
        -I "$api_include" "$@"
}
for test in "$top"/tests/board/*_test.cpp; do
    guest_cxx "$test" -o "$root/tests/$(basename "$test" _test.cpp)"
done
guest_cxx "$top/sim/board/guest/kv_ptp_query.cpp" -o "$root/bin/kv_ptp_query"
install -m 0755 "$top/sim/board/guest/demo" "$root/tests/demo"

(cd "$root" && find . -print0 | cpio --null -o -H newc --owner=0:0 --quiet) | gzip -1 >"$out/initramfs.cpio.gz"
ln -sfn "$kernel/Image" "$out/Image"
echo "build: simulated board ready in $out"
