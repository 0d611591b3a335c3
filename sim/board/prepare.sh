#!/usr/bin/env bash
# Prepares the simulated board from Debian's packages alone: QEMU, the arm64
# cross compilers, and Debian's arm64 kernel image, headers and busybox,
# unpacked (never installed) into a cache folder outside the source tree.
# A second run re-uses what is there.
#
# Prints the folder of the prepared kernel on its last line.
set -euo pipefail

cache=${TIMING_BOARD_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/timing-support-board}
host_packages=(qemu-system-arm gcc-aarch64-linux-gnu g++-aarch64-linux-gnu cpio gzip
    linux-kbuild-6.1 make)

log() { echo "prepare: $*" >&2; }

need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        log "$1; run as root once to set the board up"
        exit 1
    fi
}

apt_updated=no
apt_update() {
    [ "$apt_updated" = yes ] && return
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    apt_updated=yes
}

install_host_packages() {
    local missing=() package
    for package in "${host_packages[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    need_root "missing packages ${missing[*]}"
    log "installing ${missing[*]}"
    apt_update
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

add_arm64_architecture() {
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        need_root "the arm64 architecture is not known to dpkg"
        log "adding the arm64 architecture"
        dpkg --add-architecture arm64
        apt_updated=no
    fi
    # Without arm64 package lists the kernel cannot be resolved.
    if ! apt-cache show linux-image-arm64:arm64 >/dev/null 2>&1; then
        need_root "no arm64 package lists"
        apt_update
    fi
}

# The ABI (e.g. 6.1.0-57) moves with Debian's security updates: ask apt which
# image the metapackage points at today.
resolve_abi() {
    apt-cache depends linux-image-arm64:arm64 2>/dev/null \
        | sed -n -E 's/.*Depends: linux-image-([0-9.]+-[0-9]+)-arm64.*/\1/p' | head -n 1
}

# Unpacks the kernel image, its headers and busybox into $cache/<abi>.
unpack_kernel() {
    local abi=$1 work=$cache/$1
    [ -f "$work/.complete" ] && return
    log "downloading Debian's arm64 kernel $abi, its headers and busybox"
    rm -rf "$work" "$work.download"
    mkdir -p "$work.download"
    (cd "$work.download" && apt-get download -qq \
        "linux-image-$abi-arm64:arm64" "linux-headers-$abi-arm64:arm64" \
        "linux-headers-$abi-common" busybox-static:arm64) || return 1
    mkdir -p "$work/root"
    local deb
    for deb in "$work.download"/*.deb; do
        dpkg -x "$deb" "$work/root" || return 1
    done
    rm -rf "$work.download"
    # The stock modules are not needed and take most of the room.
    rm -rf "$work/root/lib/modules"

    # The headers' scripts link points at ../../lib/linux-kbuild-6.1: lead it
    # to the host's kbuild, which runs the amd64 tools for an arm64 build.
    mkdir -p "$work/root/usr/lib"
    ln -sfn /usr/lib/linux-kbuild-6.1 "$work/root/usr/lib/linux-kbuild-6.1"
    # The arm64 headers include the common ones by their installed path.
    sed -i "s|/usr/src/linux-headers-|$work/root/usr/src/linux-headers-|" \
        "$work/root/usr/src/linux-headers-$abi-arm64/Makefile"
    ln -sfn "root/boot/vmlinuz-$abi-arm64" "$work/Image"
    ln -sfn "root/usr/src/linux-headers-$abi-arm64" "$work/headers"
    ln -sfn "root/bin/busybox" "$work/busybox"
    touch "$work/.complete"
}

check_kbuild_version() {
    local abi=$1 headers_version kbuild_version
    kbuild_version=$(dpkg-query -W -f '${Version}' linux-kbuild-6.1)
    headers_version=$(apt-cache show "linux-headers-$abi-arm64:arm64" 2>/dev/null \
        | sed -n 's/^Version: //p' | head -n 1)
    if [ -n "$headers_version" ] && dpkg --compare-versions "$kbuild_version" lt "$headers_version"; then
        need_root "linux-kbuild-6.1 $kbuild_version is older than the headers ($headers_version)"
        log "upgrading linux-kbuild-6.1"
        apt_update
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --only-upgrade linux-kbuild-6.1 >/dev/null
    fi
}

main() {
    install_host_packages
    add_arm64_architecture
    local abi
    abi=$(resolve_abi)
    if [ -z "$abi" ]; then
        apt_update
        abi=$(resolve_abi)
    fi
    [ -n "$abi" ] || { log "cannot resolve the arm64 kernel ABI from apt"; exit 1; }
    mkdir -p "$cache"
    if ! unpack_kernel "$abi"; then
        # Old package lists name a kernel that has left the mirror.
        [ "$apt_updated" = no ] || exit 1
        apt_update
        abi=$(resolve_abi)
        unpack_kernel "$abi" || { log "cannot download the arm64 kernel $abi"; exit 1; }
    fi
    check_kbuild_version "$abi"
    echo "$cache/$abi"
}

main "$@"
