#!/usr/bin/env bash
# Builds the Debian board's base image once and prints its path: Debian 12
# arm64 (minbase with systemd, udev, kmod, dbus and adduser, and linuxptp for
# the timing chain: phc2sys and phc_ctl), from Debian's packages.
# debootstrap unpacks it on the host; its second stage runs arm64 programs,
# so it runs on the simulated board itself (stage2.sh as init, under QEMU:
# 5 to 12 minutes). The result, a qcow2 image, is cached under
# the board cache keyed by everything that went into it (fstrim and the
# disk's discard=unmap keep it small); runs never write
# to it (run.sh gives each run an overlay of its own).
#   sim/debian/image.sh
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/sim/board/kernel.sh"
apt_name=debian-image
apt_root_hint="run as root once to build the Debian board"
. "$top/scripts/apt-lib.sh"

log() { echo "debian-image: $*" >&2; }

suite=bookworm
packages=systemd,systemd-sysv,udev,kmod,dbus,adduser,linuxptp
here=$top/sim/debian
apt_install_missing debootstrap qemu-utils e2fsprogs
kernel=$("$top/sim/board/prepare.sh" -k 5.4 | tail -n 1)

key=$( (echo "$suite $packages"; dpkg-query -W -f '${Version}\n' debootstrap
    cat "$here/image.sh" "$here/stage2.sh" "$here"/base/*) | sha256sum | cut -c 1-12)
work=$(board_cache_dir)/debian/$key
image=$work/base.qcow2
if [ -f "$work/.complete" ]; then
    echo "$image"
    exit 0
fi
apt_need_root "debootstrap needs root"

# The mirror apt uses on this machine, so the image comes from where the
# host's own packages come from.
# shellcheck disable=SC2016 # apt's own format, not the shell's
mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
    grep -m 1 -v security || true)
mirror=${mirror:-http://deb.debian.org/debian/}

rm -rf "$work"
mkdir -p "$work"
start=$SECONDS
log "first stage: debootstrap $suite arm64 from $mirror"
debootstrap --foreign --arch=arm64 --variant=minbase --include="$packages" "$suite" "$work/root" \
    "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log" >&2; log "debootstrap failed"; exit 1; }
install -m 0755 "$here/stage2.sh" "$work/root/stage2"
mkdir -p "$work/root/board-base"
cp "$here"/base/* "$work/root/board-base/"

raw=$work/base.raw
truncate -s 2G "$raw"
mkfs.ext4 -q -F -L board-root -d "$work/root" "$raw"
rm -rf "$work/root"

log "second stage on the board (takes minutes; console in $work/stage2.console)"
timeout --kill-after=10 2400 qemu-system-aarch64 -M virt -cpu cortex-a57 -smp 2 -m 1G -nographic \
    -nic none -no-reboot -kernel "$kernel/Image" \
    -drive "file=$raw,if=virtio,format=raw,discard=unmap" \
    -append "console=ttyAMA0 root=/dev/vda rw init=/stage2 panic=-1" </dev/null >"$work/stage2.console" 2>&1 ||
    true
if ! tail -n 5 "$work/stage2.console" | tr -d '\r' | grep -qx 'stage2: done'; then
    tail -n 30 "$work/stage2.console" >&2
    log "the second stage did not finish"
    exit 1
fi
qemu-img convert -O qcow2 "$raw" "$image"
rm -f "$raw"
touch "$work/.complete"
log "base image ready in $((SECONDS - start)) s: $image"
echo "$image"
