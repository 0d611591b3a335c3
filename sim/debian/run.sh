#!/usr/bin/env bash
# Boots the Debian board (Debian 12 arm64 with systemd and udev, image.sh)
# on the simulated board's machine and runs its suites, one boot each, on
# one throw-away overlay of the base image, so each boot finds what the one
# before left: tests/debian/NAME.sh for NAME in install, bring-up, late-pps,
# sandbox, settings, chain, or lifecycle alone (it starts from the base
# image).
#   sim/debian/run.sh [-c] [-k 5.4|6.1 | -b BOARD_BUILD] [-o DIR] [-t SECONDS] [-s SUITE,...] [-u NEXT] PACKAGE.deb MODULE_PACKAGE.deb
#   sim/debian/run.sh -i [-k 5.4|6.1 | -b BOARD_BUILD] [-o DIR] PACKAGE.deb MODULE_PACKAGE.deb
# BOARD_BUILD (by default the build for kernel -k, default 5.4, from
# sim/board/build.sh, with or without -p) gives the kernel, the simulation
# modules, kv_ptp's simulation build and simctl; the packages under test,
# the board's Debian package and the module package for that kernel, lie on
# a second disk (/board) for the suites to install. A kernel whose disk
# drivers are modules (Debian's 6.1) boots through a small initramfs.
# DIR (default build/debian-<kernel>) gets the overlay and logs/NAME.console
# of each boot. -t limits each boot (default 300 s). -s names the suites to
# run, in order, such as install,bring-up (each builds on what the ones
# before it left). MODULE_PACKAGE.deb may be a folder: the module package
# in it for the board's kernel release. -i boots the board with
# the same disks and its console on this terminal, for a look by hand
# (root logs in without a password; "poweroff" ends it). -c counts
# instructions (one vCPU, QEMU's -icount, ttyS2 not looped back), for the
# benchmark suites of sim/debian/bench (such as tod-load), whose figures
# then repeat. -u puts the next version of the two packages, from folder
# NEXT (sim/debian/next-version.sh), on /board/upgrade.
# The last line is "N passed, N failed" over all boots; the exit status
# says whether all passed.
set -uo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/sim/board/kernel.sh"
. "$top/sim/board/machine.sh"
. "$top/scripts/tap-lib.sh"
usage="usage: run.sh [-i] [-c] [-k kernel | -b board_build] [-o dir] [-t seconds] [-s suite,...] [-u next] package.deb module-package.deb"
suites=(install bring-up late-pps sandbox settings chain)
kernel=$board_default_kernel
build=
out=
limit=300
interactive=no
cpus=(-smp 2)
counted=
next=
while getopts "ick:b:o:t:s:u:" opt; do
    case $opt in
        i) interactive=yes ;;
        c) cpus=(-smp 1 -icount "shift=3,sleep=off") counted=counted ;;
        k) kernel=$OPTARG ;;
        b) build=$OPTARG ;;
        o) out=$OPTARG ;;
        t) limit=$OPTARG ;;
        s) IFS=, read -r -a suites <<<"$OPTARG" ;;
        u) next=$(realpath "$OPTARG") ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -eq 2 ] || { echo "$usage" >&2; exit 2; }
board_check_kernel "$kernel" || exit 2
package=$(realpath "$1")
module_package=$(realpath "$2")
build=$(realpath "${build:-$(board_build_dir "$top" "$kernel")}")
out=${out:-$top/build/debian-$kernel}

fail() {
    echo "debian-run: $*"
    echo "0 passed, 1 failed"
    exit 1
}

for file in Image release rootfs/bin/simctl kmod/sim/sim_spi.ko; do
    [ -e "$build/$file" ] || fail "$build/$file missing; run sim/board/build.sh"
done
release=$(cat "$build/release")
if [ -d "$module_package" ]; then
    module_package=$module_package/kv-ptp-modules-${release}_$(dpkg-deb -f "$package" Version)_arm64.deb
fi
[ -f "$module_package" ] || fail "no module package $module_package"
upgrade=()
if [ -n "$next" ]; then
    upgrade=("$next/$(dpkg-deb -f "$package" Package)"_*_arm64.deb "$next/kv-ptp-modules-${release}"_*_arm64.deb)
    for deb in "${upgrade[@]}"; do
        [ -f "$deb" ] || fail "no package $deb; run sim/debian/next-version.sh"
    done
fi
# kv_ptp's simulation build: of the development build, or DKMS-built from
# the package (build.sh -p).
sim_kv_ptp=$build/kmod/kvLkmPtpAux/src/ptp/kv_ptp.ko
[ -e "$sim_kv_ptp" ] || sim_kv_ptp=$build/kmod/dkms-sim/kv_ptp.ko
[ -e "$sim_kv_ptp" ] || fail "$build has no simulation build of kv_ptp.ko"
base=$("$top/sim/debian/image.sh") || fail "no base image"

# The second disk: what the suites need, and nothing of the image's.
rm -rf "$out/layer" "$out/logs"
mkdir -p "$out/logs" "$out/layer"/{modules,bin,packages,samples,tests}
layer=$out/layer
install -m 0755 "$top"/sim/debian/layer/{sim-up,suite} "$layer/"
cp "$build"/kmod/sim/sim_{otx2_ptp,soc,appint,spi}.ko "$sim_kv_ptp" "$layer/modules/"
cp "$build/rootfs/bin/simctl" "$layer/bin/"
cp "$package" "$module_package" "$layer/packages/"
[ -z "$next" ] || { mkdir "$layer/upgrade" && cp "${upgrade[@]}" "$layer/upgrade/"; }
cp "$top/pll-loader/samples/vkc-pll.cfg" "$layer/samples/"
cp "$top"/tests/debian/* "$top"/sim/debian/bench/* "$layer/tests/"
[ ! -e "$build/rootfs/bench/halvern_bench" ] || cp "$build/rootfs/bench/halvern_bench" "$layer/bin/"
rm -f "$out/layer.img"
truncate -s 64M "$out/layer.img"
mkfs.ext4 -q -F -L board-layer -d "$layer" "$out/layer.img" || fail "cannot make the layer disk"

# Debian's 6.1 has its virtio disk and ext4 drivers as modules (prepare.sh
# keeps those): a small initramfs loads them and mounts the root.
initrd=()
kernel_dir=$(dirname "$(readlink "$build/Image")")
modules=$kernel_dir/root/lib/modules/$release
if [ -d "$modules" ]; then
    ramfs=$out/initramfs
    rm -rf "$ramfs"
    mkdir -p "$ramfs"/{bin,dev,proc,sys,lib/modules}
    cp "$kernel_dir/busybox" "$ramfs/bin/busybox"
    cp -r "$modules" "$ramfs/lib/modules/"
    install -m 0755 "$top/sim/debian/initramfs-init" "$ramfs/init"
    (cd "$ramfs" && find . -print0 | cpio --null -o -H newc --owner=0:0 --quiet) | gzip -1 >"$out/initramfs.cpio.gz"
    initrd=(-initrd "$out/initramfs.cpio.gz")
fi

overlay=$out/board.qcow2
rm -f "$overlay"
qemu-img create -q -f qcow2 -F qcow2 -b "$base" "$overlay" || fail "cannot make the overlay"

# Boots the board once; $1 names the boot's logs, $2 is added to the kernel
# command line. QEMU's start time is in boot_started.
boot() {
    local name=$1 args=$2 pipes status
    pipes=$(mktemp -d /tmp/debian-board.XXXXXX)
    # The PLL reset register starts with every bit clear: a reset pulse
    # leaves the board's bit set.
    board_machine_args "$pipes" "$out/logs/$name" 0x0000 $counted
    local cmdline="console=ttyAMA0 mem=512M root=/dev/vda rw panic=-1 $args"
    local qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57 "${cpus[@]}" -nographic -nic none -no-reboot
        "${board_machine[@]}" -kernel "$build/Image" "${initrd[@]}"
        -drive "file=$overlay,if=virtio,format=qcow2,discard=unmap"
        -drive "file=$out/layer.img,if=virtio,format=raw,readonly=on")
    if [ "$interactive" = yes ]; then
        "${qemu[@]}" -append "$cmdline"
        status=$?
    else
        boot_started=$(date +%s.%N)
        timeout --kill-after=10 "$limit" "${qemu[@]}" -append "$cmdline quiet board.suite=$name \
systemd.mask=serial-getty@ttyAMA0.service" </dev/null >"$pipes/console" 2>&1 &
        local qemu_pid=$!
        [ "$name" != bring-up ] || first_tod "$out/logs/$name.ttyS2" $qemu_pid &
        wait $qemu_pid
        status=$?
        wait
        tr -d '\r' <"$pipes/console" >"$out/logs/$name.console"
    fi
    rm -rf "$pipes"
    return $status
}

# Reports when the first ToD string left ttyS2 ($1 is its copy), counted
# from QEMU's start: the board's time from power-on to the first string on
# the wire. Gives up when QEMU ($2) ends.
first_tod() {
    while kill -0 "$2" 2>/dev/null; do
        if [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -ge 21 ]; then
            awk -v now="$(date +%s.%N)" -v start="$boot_started" 'BEGIN {
                printf "debian-run: first ToD string on the wire %.1f s after power-on\n", now - start }' \
                >"$out/logs/first-tod"
            return
        fi
        sleep 0.1
    done
}

if [ "$interactive" = yes ]; then
    boot interactive ""
    exit
fi

passed=0
failed=0
for suite in "${suites[@]}"; do
    args=
    [ "$suite" != late-pps ] || args=board.late_pps
    [ "$suite" != chain ] || args=board.unsync
    start=$SECONDS
    boot "$suite" "$args"
    status=$?
    console=$out/logs/$suite.console
    tap_stream "$console"
    tap_read "$console"
    if [ -z "$tap_problem" ] && { [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; }; then
        tap_problem="no power-off"
        tap_failed=$((tap_failed + 1))
    fi
    passed=$((passed + tap_passed))
    failed=$((failed + tap_failed))
    if [ -n "$tap_problem" ]; then
        tail -n 30 "$console"
        echo "debian-run: $suite: $tap_problem within $limit s (qemu exit status $status)"
        break  # the later suites build on this one
    fi
    echo "debian-run: $suite: $tap_passed passed, $tap_failed failed (boot and suite $((SECONDS - start)) s)"
    [ "$suite" != bring-up ] || cat "$out/logs/first-tod" 2>/dev/null
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
