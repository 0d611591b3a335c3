# The kernel switch shared by prepare.sh, build.sh, run.sh and the demo:
#   5.4        the board's kernel line: the 5.4.286 build in sim/board/kernels/
#   5.4-debug  the same kernel with the kernel's runtime checkers (KASAN,
#              kmemleak, lockdep, UBSAN, fault injection, gcov), beside it
#   6.1        Debian 12's own arm64 kernel, downloaded
#   DIR        a kernel of your own: DIR/Image and DIR/headers (its prepared tree)
# Sourced, not run.
# shellcheck shell=bash
# shellcheck disable=SC2034 # the variables are the sourcing scripts'

board_default_kernel=5.4
# The kernels known by name; prepare.sh says where each comes from.
board_kernels=(5.4 5.4-debug 6.1)
board_kernel_usage="$(IFS='|'; echo "${board_kernels[*]}")|DIR"

# The committed build of kernel $1 (5.4 or 5.4-debug) under sim/board/kernels/.
board_fixture_dir() {
    local top=$1 kernel=$2
    case $kernel in
        5.4) echo "$top/sim/board/kernels/5.4.286" ;;
        5.4-debug) echo "$top/sim/board/kernels/5.4.286-debug" ;;
        *) return 1 ;;
    esac
}

# The cache of prepared kernels and board images, outside the source tree.
board_cache_dir() {
    echo "${TIMING_BOARD_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/timing-support-board}"
}

# Fails with a usage message unless $1 is a kernel the board can run.
board_check_kernel() {
    board_named_kernel "$1" && return 0
    [ -d "$1" ] && return 0
    echo "unknown kernel '$1': one of ${board_kernels[*]}, or a folder with Image and headers" >&2
    return 1
}

# Succeeds when $1 is one of board_kernels.
board_named_kernel() {
    [[ " ${board_kernels[*]} " == *" $1 "* ]]
}

# The board build's default folder for kernel $1, so that builds for
# different kernels sit side by side.
board_build_dir() {
    local top=$1 kernel=$2
    if board_named_kernel "$kernel"; then
        echo "$top/build/board-$kernel"
    else
        echo "$top/build/board-custom"
    fi
}

# For the scripts whose one option is -k: sets $kernel from the options
# "$2"..., or exits with usage $1.
board_kernel_option() {
    local usage=$1 opt OPTIND=1
    shift
    kernel=$board_default_kernel
    while getopts "k:" opt; do
        case $opt in
            k) kernel=$OPTARG ;;
            *) echo "$usage" >&2; exit 2 ;;
        esac
    done
    board_check_kernel "$kernel" || exit 2
}
