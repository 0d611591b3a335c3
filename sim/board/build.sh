#!/usr/bin/env bash
# Builds everything the simulated board runs into one folder (default
# build/board): the kv_ptp module and the simulation modules for the board's
# arm64 kernel, the static aarch64 test programs, and the initramfs.
#   sim/board/build.sh [-p PACKAGE.deb] [dir]
# With -p the board gets what the Debian package holds instead of the
# development build: its morrask and halvern, kv_ptp.ko built by DKMS from
# its module source, and its ioctl header for the guest programs.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
package=
if [ "${1:-}" = -p ]; then
    package=$(realpath "${2:?usage: build.sh [-p package.deb] [dir]}")
    shift 2
fi
out=$(mkdir -p "${1:-$top/build/board}" && cd "${1:-$top/build/board}" && pwd)
kernel=$("$top/sim/board/prepare.sh" | tail -n 1)
api_include=$top/rte/sources/kvLkmPtpAux/include

# Builds the out-of-tree module in folder $1 with kbuild and the extra
# warnings kernel reviewers ask for (W=1); warnings are errors.
kbuild() {
    local dir=$1 log
    shift
    log=$(make -C "$kernel/headers" M="$dir" ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu- W=1 \
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
# The simulated SoC register blocks sit in RAM above the guest kernel's
# mem= limit (run.sh): the PCI window at soc_base, the BTS block 1 MiB on.
soc_base=0x60000000
kbuild "$out/kmod/sim" SIM_SOC_BASE=$soc_base
bts_base=$(printf '0x%x' $((soc_base + 0x100000)))
if [ -z "$package" ]; then
    cp -r "$top/rte/sources/kvLkmPtpAux" "$out/kmod/kvLkmPtpAux"
    kbuild "$out/kmod/kvLkmPtpAux/src/ptp" KBUILD_EXTRA_SYMBOLS="$out/kmod/sim/Module.symvers" \
        KV_PTP_SIM_BTS_BASE="$bts_base"
    # The module as the board gets it, without the simulation knob, builds too.
    cp -r "$top/rte/sources/kvLkmPtpAux" "$out/kmod/board"
    kbuild "$out/kmod/board/src/ptp" KBUILD_EXTRA_SYMBOLS="$out/kmod/sim/Module.symvers"
    board_ko=$out/kmod/board/src/ptp/kv_ptp.ko
    sim_ko=$out/kmod/kvLkmPtpAux/src/ptp/kv_ptp.ko
else
    unpacked=$out/package
    rm -rf "$unpacked"
    dpkg-deb -x "$package" "$unpacked"
    api_include=$unpacked/usr/include
    # DKMS builds the packaged source as on the board: once as it is, and
    # once with the simulation knob for the guest.
    "$top/sim/board/dkms-build.sh" "$unpacked/usr/src" "$kernel/headers" "$out/kmod/board" \
        KBUILD_EXTRA_SYMBOLS="$out/kmod/sim/Module.symvers"
    "$top/sim/board/dkms-build.sh" "$unpacked/usr/src" "$kernel/headers" "$out/kmod/dkms-sim" \
        KBUILD_EXTRA_SYMBOLS="$out/kmod/sim/Module.symvers" KV_PTP_SIM_BTS_BASE="$bts_base"
    board_ko=$out/kmod/board/kv_ptp.ko
    sim_ko=$out/kmod/dkms-sim/kv_ptp.ko
fi
if grep -a -q 'simulation=' "$board_ko"; then
    echo "build: the board's kv_ptp.ko claims to be a simulation build" >&2
    exit 1
fi

# The shared header must hold its layout for C clients as well as C++ ones.
for cc in gcc aarch64-linux-gnu-gcc; do
    echo '#include "kvPtpAuxApi.h"' | $cc -std=gnu11 -Wall -Werror -I "$api_include" -fsyntax-only -x c -
done

root=$out/rootfs
mkdir -p "$root"/{bin,dev,proc,sys,tmp,tests,lib/board/sim,lib/board/tools,lib/board/samples}
cp "$kernel/busybox" "$root/bin/busybox"
install -m 0755 "$top/sim/board/init" "$root/init"
cp "$out"/kmod/sim/sim_{otx2_ptp,soc,appint,spi}.ko "$root/lib/board/sim/"
cp "$out"/kmod/sim/sim_{fault,short_write}.ko "$root/lib/board/tools/"
cp "$sim_ko" "$root/lib/board/kv_ptp.ko"

guest_cxx() {
    aarch64-linux-gnu-g++ -std=c++17 -O2 -static -pthread -Wall -Wextra -Werror \
        -I "$api_include" "$@"
}
for test in "$top"/tests/board/*_test.cpp; do
    guest_cxx "$test" -o "$root/tests/$(basename "$test" _test.cpp)"
done
guest_cxx "$top/sim/board/guest/kv_ptp_query.cpp" -o "$root/bin/kv_ptp_query"
if [ -z "$package" ]; then
    guest_cxx "$top"/tod-sender/{main,platform_linux,tod_utils,error_report}.cpp -o "$root/bin/halvern"
    guest_cxx "$top"/pll-loader/*.cpp -o "$root/bin/morrask"
else
    install -m 0755 "$unpacked"/usr/sbin/{halvern,morrask} "$root/bin/"
fi
cp "$top/pll-loader/samples/vkc-pll.cfg" "$root/lib/board/samples/"
guest_cxx "$top/sim/board/guest/sim_regs.cpp" -o "$root/bin/sim_regs"
guest_cxx "$top/sim/board/guest/morrask_bench.cpp" -o "$root/tests/morrask_bench"
guest_cxx "$top/sim/board/guest/halvern_bench.cpp" -o "$root/tests/halvern_bench"
install -m 0755 "$top/sim/board/guest/demo" "$root/tests/demo"

(cd "$root" && find . -print0 | cpio --null -o -H newc --owner=0:0 --quiet) | gzip -1 >"$out/initramfs.cpio.gz"
ln -sfn "$kernel/Image" "$out/Image"
echo "build: simulated board ready in $out"
