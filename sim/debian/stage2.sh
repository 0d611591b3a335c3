#!/bin/sh
# /stage2 of the Debian board's base image, run as init under QEMU by
# image.sh: debootstrap's second stage (it runs arm64 programs, so it runs
# on the board), then what makes the image a test board, then power-off.
# Its last line on the console is "stage2: done" or "stage2: failed".
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH

fail() {
	echo "stage2: $*"
	echo "stage2: failed"
	exec poweroff -f -f
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -o remount,rw / || fail "cannot remount / read-write"
if ! /debootstrap/debootstrap --second-stage; then
	tail -n 40 /debootstrap/debootstrap.log
	fail "debootstrap's second stage failed"
fi
mount -t proc proc /proc 2>/dev/null

echo board >/etc/hostname
printf '127.0.0.1\tlocalhost\n127.0.1.1\tboard\n' >/etc/hosts
cp /board-base/fstab /etc/fstab
mkdir -p /board
cp /board-base/*.service /etc/systemd/system/
systemctl enable board-sim.service board-suite.service

# A quiet board that boots quickly: no timers that start work of their own,
# a journal in RAM, no login on the first console.
systemctl mask apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer e2scrub_reap.service \
	fstrim.timer getty@tty1.service 2>/dev/null
mkdir -p /etc/systemd/journald.conf.d
printf '[Journal]\nStorage=volatile\n' >/etc/systemd/journald.conf.d/board.conf
# Root logs in on the console without a password (serial-getty on ttyAMA0
# is there when the board is started by hand).
passwd -d root >/dev/null
mkdir -p /etc/systemd/system/serial-getty@ttyAMA0.service.d
# shellcheck disable=SC2016 # $TERM is systemd's to expand
printf '[Service]\nExecStart=\nExecStart=-/sbin/agetty --autologin root --keep-baud 115200,57600,38400,9600 %%I $TERM\n' \
	>/etc/systemd/system/serial-getty@ttyAMA0.service.d/autologin.conf
# Every boot of a copy starts as a first boot with an id of its own.
: >/etc/machine-id

apt-get clean
rm -rf /board-base /var/lib/apt/lists/* /var/log/*.log /debootstrap
sync
fstrim -v / || true
# This script stays: a file still open when deleted would leave the file
# system to be recovered at every boot.
mount -o remount,ro / || sync
echo "stage2: done"
poweroff -f -f
