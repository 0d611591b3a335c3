# shellcheck shell=bash
# The steps around kv_ptp's kernel build that the board, package and test
# scripts share: the module source made complete with CMake's generated
# files, kbuild with warnings as failures, a kernel tree's release, the
# module source's version, and the check that a program needs no shared
# library. Sourced, not run.

# Copies the module source $1 (rte/sources/kvLkmPtpAux or a changed copy)
# to $3, with the files cmake/version.cmake generated from the project's
# version in CMake build tree $2 laid over it: the tree the package gives
# DKMS. Kbuild writes its objects beside the sources, so it builds copies.
kbuild_module_source() {
    local source=$1 generated=$2/kv-ptp-generated dest=$3
    [ -f "$generated/dkms.conf" ] || { echo "$generated has no dkms.conf: is $2 a configured CMake tree?" >&2; return 1; }
    cp -r "$source" "$dest" && cp -r "$generated/." "$dest/"
}

# Builds the out-of-tree module in folder $2 against kernel tree $1 for the
# board's arm64, with the extra warnings kernel reviewers ask for (W=1);
# further arguments go to make. Returns 1 when the build fails, after its
# output, and 2 when it warns, after the warnings: both fail the build.
kbuild_modules() {
    local tree=$1 dir=$2 log
    shift 2
    log=$(make -C "$tree" M="$dir" ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu- W=1 "$@" modules 2>&1) ||
        { echo "$log"; return 1; }
    if echo "$log" | grep -i -E 'warning|error'; then
        return 2
    fi
}

# The kernel release (uname -r) of prepared kernel tree $1; empty when its
# include/generated/utsrelease.h names none.
kbuild_release() {
    sed -n 's/^#define UTS_RELEASE "\(.*\)"$/\1/p' "$1/include/generated/utsrelease.h"
}

# The module source's version, from its (generated) dkms.conf $1.
kbuild_package_version() {
    sed -n 's/^PACKAGE_VERSION="\(.*\)"$/\1/p' "$1"
}

# Prints file(1)'s description of program $1 and succeeds when it is an
# aarch64 program that needs no shared library, as $2 asks: "pie" (the
# default) a static PIE, "stripped-pie" a stripped one, "any" a static PIE
# or a classic static program.
kbuild_static_aarch64() {
    local kind
    kind=$(file -b "$1") || return 1
    echo "$kind"
    case ${2:-pie} in
        pie) [[ $kind == *"pie executable, ARM aarch64"*"static-pie linked"* ]] ;;
        stripped-pie) [[ $kind == *"pie executable, ARM aarch64"*"static-pie linked"*", stripped" ]] ;;
        any) [[ $kind == *"ARM aarch64"*"statically linked"* || $kind == *"ARM aarch64"*"static-pie linked"* ]] ;;
        *) echo "kbuild_static_aarch64: unknown kind $2" >&2; return 1 ;;
    esac
}
