#!/usr/bin/env bash
# Builds everything the simulated board runs into one folder: the kv_ptp
# module and the simulation modules for the board's arm64 kernel, the static
# aarch64 test programs, and the initramfs.
#   sim/board/build.sh [-k 5.4|5.4-debug|6.1|DIR] [-c] [-g GUEST_DIR] [-s SOURCE] [-p PACKAGE.deb [-m MODULE_PACKAGE.deb]] [dir]
# -k names the kernel (prepare.sh; default 5.4, the board's line); dir
# defaults to build/board-<kernel>, so builds for both kernels sit side by side.
# With -p the board gets what the Debian packages hold instead of the
# development build: the programs of PACKAGE.deb (timing-support), kv_ptp.ko
# built by DKMS from the module source of kv-ptp-dkms, and the ioctl header
# of kv-ptp-dev for the guest programs (both of the same version, beside
# PACKAGE.deb). With -m as well, the
# guest's kv_ptp.ko is the one the binary module package holds for this
# kernel (a board build: the clock set-up finds no BTS block here).
# -c builds the guest's kv_ptp.ko with gcov's counters (a kernel with
# CONFIG_GCOV_KERNEL, such as 5.4-debug): after each run the guest prints
# them, and scripts/kernel-check.sh turns them into line coverage.
# -g builds the guest programs, which do not depend on the kernel, in the
# CMake build tree GUEST_DIR (another board's dir/guest) instead of
# dir/guest, so that boards for several kernels share one build.
# -s builds kv_ptp from SOURCE, a changed copy of rte/sources/kvLkmPtpAux
# (scripts/kernel-check.sh plants faults in one).
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/sim/board/kernel.sh"
. "$top/scripts/kbuild-lib.sh"
usage="usage: build.sh [-k $board_kernel_usage] [-c] [-g guest_dir] [-s source] [-p package.deb [-m module-package.deb]] [dir]"
kernel_name=$board_default_kernel
package=
module_package=
coverage=
guest=
kv_ptp_source=$top/rte/sources/kvLkmPtpAux
while getopts "k:cg:s:p:m:" opt; do
    case $opt in
        k) kernel_name=$OPTARG ;;
        c) coverage=GCOV_PROFILE=y ;;
        g) guest=$OPTARG ;;
        s) kv_ptp_source=$(realpath "$OPTARG") ;;
        p) package=$(realpath "$OPTARG") ;;
        m) module_package=$(realpath "$OPTARG") ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
board_check_kernel "$kernel_name" || exit 2
[ -z "$module_package" ] || [ -n "$package" ] || { echo "build: -m needs -p; $usage" >&2; exit 2; }
[ -z "$coverage" ] || [ -z "$package" ] || { echo "build: -c is for the development build; $usage" >&2; exit 2; }
out=${1:-$(board_build_dir "$top" "$kernel_name")}
out=$(mkdir -p "$out" && cd "$out" && pwd)
kernel=$("$top/sim/board/prepare.sh" -k "$kernel_name" | tail -n 1)
release=$(cat "$kernel/release")
api_include=$top/rte/sources/kvLkmPtpAux/include

# modpost checks every kernel symbol a module uses against the tree's
# Module.symvers (and the extra ones given): without it that check is off.
if [ ! -s "$kernel/headers/Module.symvers" ]; then
    if board_named_kernel "$kernel_name"; then
        echo "build: $kernel/headers has no Module.symvers" >&2
        exit 1
    fi
fi

# Builds the out-of-tree module in folder $1 against the board's kernel;
# warnings are errors.
kbuild() {
    local dir=$1 status=0
    shift
    kbuild_modules "$kernel/headers" "$dir" "$@" || status=$?
    [ "$status" -ne 2 ] || echo "build: warnings in $dir" >&2
    [ "$status" -eq 0 ]
}

# A module built with full symbol versions carries a CRC for every kernel
# symbol it calls, otx2_ptp_pps_read (of the SoC's PTP driver) included.
check_versions() {
    modprobe --dump-modversions "$1" | grep -q -w otx2_ptp_pps_read ||
        { echo "build: $1 has no symbol version for otx2_ptp_pps_read" >&2; return 1; }
}

# The guest programs (sim/board/CMakeLists.txt) come from CMake's cross build
# in $guest, against the ioctl header in $api_include; its configure also
# generates kv_ptp's version files for the development build. No build
# type: the flags are those of the guest build (BOARD_GUEST in
# CMakeLists.txt). CMake's output shows only when the build fails.
guest=${guest:-$out/guest}
if [ -n "$package" ]; then
    unpacked=$out/package
    rm -rf "$unpacked"
    for deb in "$package" "${package%/*}/kv-ptp-"{dkms,dev}_"$(dpkg-deb -f "$package" Version)"_all.deb; do
        dpkg-deb -x "$deb" "$unpacked"
    done
    api_include=$unpacked/usr/include
fi
guest_build() {
    local log
    log=$("$@" 2>&1) || { echo "$log"; echo "build: the guest programs do not build" >&2; exit 1; }
}
guest_build cmake -S "$top" -B "$guest" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=None -DBOARD_GUEST=ON -DWERROR=ON -DKV_PTP_API_INCLUDE="$api_include"

# Kbuild writes its objects beside the sources: build from copies.
rm -rf "$out/kmod" "$out/rootfs" "$out/logs"  # no results of an earlier build
mkdir -p "$out/kmod"
cp -r "$top/sim/board/kmod" "$out/kmod/sim"
# The simulated SoC register blocks sit in RAM above the guest kernel's
# mem= limit (run.sh): the PCI window at soc_base, the BTS block 1 MiB on.
soc_base=0x60000000
kbuild "$out/kmod/sim" SIM_SOC_BASE=$soc_base
bts_base=$(printf '0x%x' $((soc_base + 0x100000)))
soc_symbols=KBUILD_EXTRA_SYMBOLS=$out/kmod/sim/Module.symvers
if [ -z "$package" ]; then
    kbuild_module_source "$kv_ptp_source" "$guest" "$out/kmod/kvLkmPtpAux"
    kbuild "$out/kmod/kvLkmPtpAux/src/ptp" "$soc_symbols" KV_PTP_SIM_BTS_BASE="$bts_base" $coverage
    # The module as the board gets it, without the simulation knob, builds too.
    kbuild_module_source "$kv_ptp_source" "$guest" "$out/kmod/board"
    kbuild "$out/kmod/board/src/ptp" "$soc_symbols"
    board_ko=$out/kmod/board/src/ptp/kv_ptp.ko
    sim_ko=$out/kmod/kvLkmPtpAux/src/ptp/kv_ptp.ko
else
    # The packaged source is warning-free on this kernel too.
    cp -r "$unpacked/usr/src/kv-ptp-"* "$out/kmod/packaged"
    kbuild "$out/kmod/packaged/src/ptp" "$soc_symbols"
    # DKMS builds the packaged source as on the board, and (unless the
    # module package brings the guest's module) once with the simulation
    # knob for the guest.
    "$top/sim/board/dkms-build.sh" "$unpacked/usr/src" "$kernel/headers" "$out/kmod/board" \
        "$soc_symbols"
    board_ko=$out/kmod/board/kv_ptp.ko
    if [ -z "$module_package" ]; then
        "$top/sim/board/dkms-build.sh" "$unpacked/usr/src" "$kernel/headers" "$out/kmod/dkms-sim" \
            "$soc_symbols" KV_PTP_SIM_BTS_BASE="$bts_base"
        sim_ko=$out/kmod/dkms-sim/kv_ptp.ko
    else
        rm -rf "$out/module-package"
        dpkg-deb -x "$module_package" "$out/module-package"
        sim_ko=$out/module-package/lib/modules/$release/updates/kv_ptp.ko
        [ -f "$sim_ko" ] || { echo "build: $module_package holds no kv_ptp.ko for $release" >&2; exit 1; }
    fi
fi
if grep -a -q 'simulation=' "$board_ko"; then
    echo "build: the board's kv_ptp.ko claims to be a simulation build" >&2
    exit 1
fi
check_versions "$board_ko"
check_versions "$sim_ko"

# The shared header must hold its layout for C clients as well as C++ ones.
for cc in gcc aarch64-linux-gnu-gcc; do
    echo '#include "kvPtpAuxApi.h"' | $cc -std=gnu11 -Wall -Werror -I "$api_include" -fsyntax-only -x c -
done

root=$out/rootfs
mkdir -p "$root"/{bin,dev,proc,sys,tmp,tests,bench,checks,lib/board/sim,lib/board/tools,lib/board/samples}
cp "$kernel/busybox" "$root/bin/busybox"
install -m 0755 "$top/sim/board/init" "$root/init"
cp "$out"/kmod/sim/sim_{otx2_ptp,soc,appint,spi}.ko "$root/lib/board/sim/"
cp "$out"/kmod/sim/sim_{fault,short_write,ioctl_floor}.ko "$root/lib/board/tools/"
cp "$sim_ko" "$root/lib/board/kv_ptp.ko"
if [ -n "$coverage" ]; then
    grep -q '^CONFIG_GCOV_KERNEL=y' "$kernel/headers/.config" ||
        { echo "build: -c needs a kernel with gcov (CONFIG_GCOV_KERNEL)" >&2; exit 1; }
    touch "$root/lib/board/gcov"
fi

# The guest programs. /tests gets the suites and nothing else, as the tests
# find them (cmake/board-suites.cmake).
guest_targets=(board_guest)
[ -n "$package" ] || guest_targets+=(morrask halvern kv-ptp-ctl)
guest_build cmake --build "$guest" --target "${guest_targets[@]}" -j2
cmake --install "$guest" --component board_guest --prefix "$root" >/dev/null
if [ -z "$package" ]; then
    install -m 0755 "$guest/pll-loader/morrask" "$guest/tod-sender/halvern" "$guest/kv-ptp-ctl/kv-ptp-ctl" \
        "$root/bin/"
else
    install -m 0755 "$unpacked"/usr/sbin/{halvern,morrask,kv-ptp-ctl} "$root/bin/"
fi
# Nothing in the root holds shared libraries.
for program in "$root"/{tests,bench,checks,bin}/*; do
    case $(file -b "$program") in
        *"shell script"*) continue ;;
    esac
    kbuild_static_aarch64 "$program" any >/dev/null ||
        { echo "build: $program is not a static aarch64 program" >&2; exit 1; }
done
cp "$top/pll-loader/samples/vkc-pll.cfg" "$root/lib/board/samples/"

(cd "$root" && find . -print0 | cpio --null -o -H newc --owner=0:0 --quiet) | gzip -1 >"$out/initramfs.cpio.gz"
ln -sfn "$kernel/Image" "$out/Image"
ln -sfn "$kernel/headers" "$out/headers"
echo "$release" >"$out/release"
echo "build: simulated board for Linux $release ready in $out"
