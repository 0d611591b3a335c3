# The simulated board's machine, shared by run.sh and the Debian board's
# run.sh: QEMU's arguments for the UARTs and the board's physical memory.
# Sourced, not run.
# shellcheck shell=bash

# The PLL reset register, a 16-bit word in the board's physical memory.
board_reset_register=0x520000004

# Sets the array board_machine to QEMU's arguments for the board's devices:
# $1 a fresh folder for the UART loop's FIFOs and the RAM file, $2 the
# prefix of the UART log files ($2.ttyS0, .ttyS1, .ttyS2), $3 the reset
# register's power-on value, $4 "counted" for a board whose clock counts
# instructions (benchmarks): there ttyS2 only writes to PREFIX.ttyS2 and
# nothing comes in on ttyS3, since bytes that come back through the host
# arrive when the host gets round to them, and their interrupts would land
# in the middle of what is being timed.
#
# The guest's /dev/ttyS0..ttyS3 are the four 16550s of a pci-serial-4x
# (8250_pci is built in); ttyS0 and ttyS1 write to PREFIX.ttyS0 and .ttyS1.
# ttyS2, the ToD sender's port, is looped into ttyS3 and back through two host
# FIFOs: a pipe chardev writes PATH.out and reads PATH.in, linked crosswise.
# u2's logfile keeps a byte-exact copy of all that left ttyS2. Not a unix
# socket pair: that fills after a few hundred of QEMU's one-byte writes, and
# QEMU logs a byte once more each time it retries a write; a FIFO holds
# 64 KiB unread before ttyS2 stalls.
#
# The guest kernel owns the first 512 MiB of the 20 GiB of RAM (mem=512M on
# its command line); the rest is the board's physical address space for
# /dev/mem and the simulated SoC register blocks. The reset register gets
# its power-on value from a QEMU loader. The RAM is a sparse file, $1/ram,
# that board_reset_value reads the register from after the run.
board_machine_args() {
    local pipes=$1 logs=${2//,/,,} reset_value=$3 counted=${4:-}  # commas in QEMU option values double
    local line=(-chardev "file,id=u2,path=$logs.ttyS2" -chardev "null,id=u3")
    if [ "$counted" != counted ]; then
        mkfifo "$pipes/forth" "$pipes/back"
        ln -s forth "$pipes/u2.out"
        ln -s forth "$pipes/u3.in"
        ln -s back "$pipes/u3.out"
        ln -s back "$pipes/u2.in"
        line=(-chardev "pipe,id=u2,path=$pipes/u2,logfile=$logs.ttyS2" -chardev "pipe,id=u3,path=$pipes/u3")
    fi
    # shellcheck disable=SC2034,SC2054 # the caller's array; QEMU's options are comma lists
    board_machine=(
        -chardev "file,id=u0,path=$logs.ttyS0"
        -chardev "file,id=u1,path=$logs.ttyS1"
        "${line[@]}"
        -device pci-serial-4x,chardev1=u0,chardev2=u1,chardev3=u2,chardev4=u3
        -m 20G -object "memory-backend-file,id=ram0,size=20G,mem-path=$pipes/ram,share=on"
        -machine memory-backend=ram0
        -device "loader,addr=$board_reset_register,data=$reset_value,data-len=2"
    )
}

# The reset register's content after a run whose folder was $1, as 0xNNNN;
# nothing when the run left no RAM file. Guest physical address P sits at
# file offset P - 0x40000000.
board_reset_value() {
    [ -s "$1/ram" ] || return 0
    echo "0x$(od -A n -t x2 -j $((board_reset_register - 0x40000000)) -N 2 "$1/ram" | tr -d ' ')"
}
