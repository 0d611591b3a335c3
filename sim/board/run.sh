#!/usr/bin/env bash
# Boots the simulated board and runs one guest test suite (or benchmark):
#   sim/board/run.sh [-k 5.4|6.1|DIR | -b BUILD_DIR] [-t SECONDS] [-r RESET_VALUE] SUITE [TEST...]
# The board is the one build.sh made in BUILD_DIR, by default the build for
# kernel -k (default 5.4, the board's line) in its default folder.
# The guest's own "board result: N passed, N failed" line becomes this
# script's last line and its exit status; a suite that hangs, crashes or
# prints no result line counts as failed. RESET_VALUE (default 0x1234) is the
# PLL reset register's content at power-on. TEST... runs only those tests of
# the suite (a test's name, with or without its fixture's); --reverse among
# them runs the tests in reverse order.
set -uo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/sim/board/kernel.sh"
usage="usage: run.sh [-k kernel | -b build_dir] [-t seconds] [-r reset_value] suite [test...]"
kernel=$board_default_kernel
build=
limit=600
reset_value=0x1234
while getopts "k:b:t:r:" opt; do
    case $opt in
        k) kernel=$OPTARG ;;
        b) build=$OPTARG ;;
        t) limit=$OPTARG ;;
        r) reset_value=$OPTARG ;;
        *) echo "$usage" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
suite=${1:?$usage}
shift
tests=$(IFS=,; echo "$*")
board_check_kernel "$kernel" || exit 2
build=${build:-$(board_build_dir "$top" "$kernel")}

for file in Image initramfs.cpio.gz; do
    [ -e "$build/$file" ] || { echo "run: $build/$file missing; run sim/board/build.sh"; echo "0 passed, 1 failed"; exit 1; }
done

mkdir -p "$build/logs"
console=$build/logs/$suite.console
# The guest's /dev/ttyS0..ttyS3 are the four 16550s of a pci-serial-4x
# (8250_pci is built in); ttyS0 and ttyS1 write to logs/SUITE.ttyS0 and .ttyS1.
# ttyS2, the ToD sender's port, is looped into ttyS3 and back through two host
# FIFOs: a pipe chardev writes PATH.out and reads PATH.in, linked crosswise.
# u2's logfile keeps a byte-exact copy of all that left ttyS2. Not a unix
# socket pair: that fills after a few hundred of QEMU's one-byte writes, and
# QEMU logs a byte once more each time it retries a write; a FIFO holds
# 64 KiB unread before ttyS2 stalls.
pipes=$(mktemp -d /tmp/board-uart.XXXXXX)
trap 'rm -rf "$pipes"' EXIT
mkfifo "$pipes/forth" "$pipes/back"
ln -s forth "$pipes/u2.out"
ln -s forth "$pipes/u3.in"
ln -s back "$pipes/u3.out"
ln -s back "$pipes/u2.in"
logs=${build//,/,,}/logs/${suite//,/,,}  # commas in QEMU option values double
uarts=(
    -chardev "file,id=u0,path=$logs.ttyS0"
    -chardev "file,id=u1,path=$logs.ttyS1"
    -chardev "pipe,id=u2,path=$pipes/u2,logfile=$logs.ttyS2"
    -chardev "pipe,id=u3,path=$pipes/u3"
    -device pci-serial-4x,chardev1=u0,chardev2=u1,chardev3=u2,chardev4=u3
)
# The guest kernel owns the first 512 MiB of the 20 GiB of RAM; the rest is
# the board's physical address space for /dev/mem and the simulated SoC
# register blocks (build.sh). The PLL reset register, a 16-bit word at
# 0x520000004, gets its power-on value from a QEMU loader. The RAM is a
# sparse file the host reads the register from after the run: guest physical
# address P sits at file offset P - 0x40000000.
reset_register=0x520000004
ram=$pipes/ram
memory=(
    -m 20G -object "memory-backend-file,id=ram0,size=20G,mem-path=$ram,share=on"
    -machine memory-backend=ram0
    -device "loader,addr=$reset_register,data=$reset_value,data-len=2"
)
timeout --kill-after=10 "$limit" qemu-system-aarch64 \
    -M virt -cpu cortex-a57 -smp 2 -nographic -nic none -no-reboot "${memory[@]}" \
    -kernel "$build/Image" -initrd "$build/initramfs.cpio.gz" "${uarts[@]}" \
    -append "console=ttyAMA0 mem=512M panic=-1 quiet suite=$suite${tests:+ tests=$tests}" \
    </dev/null 2>&1 | tr -d '\r' | tee "$console"
status=${PIPESTATUS[0]}
if [ -s "$ram" ]; then
    word=$(od -A n -t x2 -j $((reset_register - 0x40000000)) -N 2 "$ram" | tr -d ' ')
    echo "0x$word" >"$build/logs/$suite.reset"
    echo "run: PLL reset register after the run: 0x$word (power-on value $reset_value)"
fi

result=$(grep -E '^board result: [0-9]+ passed, [0-9]+ failed$' "$console" | tail -n 1)
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "run: the board did not power off within $limit s"
    echo "0 passed, 1 failed"
    exit 1
fi
if [ -z "$result" ]; then
    echo "run: suite $suite printed no result (qemu exit status $status)"
    echo "0 passed, 1 failed"
    exit 1
fi
echo "${result#board result: }"
echo "$result" | grep -q ' 0 failed$'
