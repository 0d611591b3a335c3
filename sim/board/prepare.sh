#!/usr/bin/env bash
# Prepares the simulated board for one kernel from Debian's packages and the
# project's own files: QEMU, the arm64 cross compilers, busybox, and the
# kernel with its module-build tree, unpacked (never installed) into a cache
# folder outside the source tree. A second run re-uses what is there.
#   sim/board/prepare.sh [-k 5.4|5.4-debug|6.1|DIR]
# 5.4 (the default) is the board's kernel line, from sim/board/kernels/, and
# 5.4-debug the same kernel with the kernel's runtime checkers; 6.1
# is Debian 12's arm64 kernel, downloaded; DIR holds a kernel of your own as
# DIR/Image and its prepared tree DIR/headers.
#
# Prints, on its last line, a folder holding Image, headers (the tree that
# modules are built against), busybox and release (the kernel's uname -r).
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/sim/board/kernel.sh"
apt_name=prepare
apt_root_hint="run as root once to set the board up"
. "$top/scripts/apt-lib.sh"
. "$top/scripts/kbuild-lib.sh"
board_kernel_option "usage: prepare.sh [-k $board_kernel_usage]" "$@"

cache=$(board_cache_dir)
host_packages=(qemu-system-arm gcc-aarch64-linux-gnu g++-aarch64-linux-gnu cpio gzip xz-utils file
    kmod make)
[ "$kernel" = 6.1 ] && host_packages+=(linux-kbuild-6.1)

log() { echo "prepare: $*" >&2; }

# busybox and Debian's kernel are arm64 packages.
add_arm64_architecture() {
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        apt_need_root "the arm64 architecture is not known to dpkg"
        log "adding the arm64 architecture"
        dpkg --add-architecture arm64
        apt_updated=no
    fi
    if ! apt-cache show busybox-static:arm64 >/dev/null 2>&1; then
        apt_need_root "no arm64 package lists"
        apt_update
    fi
}

# The guest's userland: Debian's static busybox, whatever the kernel.
prepare_busybox() {
    local work=$cache/busybox
    if [ ! -f "$work/.complete" ]; then
        log "downloading Debian's arm64 busybox"
        apt_unpack "$work" busybox-static:arm64 || {
            apt_update
            apt_unpack "$work" busybox-static:arm64
        } || { log "cannot download busybox-static:arm64"; exit 1; }
        touch "$work/.complete"
    fi
    echo "$work/root/bin/busybox"
}

# ---- 5.4: the project's own builds of the board's kernel line ----------------

# Unpacks the committed build of kernel $1 (5.4 or 5.4-debug) into the cache,
# keyed by its checksums, after checking them.
prepare_k54() {
    local fixture key work
    fixture=$(board_fixture_dir "$top" "$1")
    (cd "$fixture" && sha256sum --quiet -c SHA256SUMS) >&2 ||
        { log "the files in $fixture do not match their SHA256SUMS"; exit 1; }
    key=$(sha256sum "$fixture/SHA256SUMS" | cut -c 1-12)
    work=$cache/$1/$key
    if [ ! -f "$work/.complete" ]; then
        log "unpacking the board's Linux 5.4.286 ($1) from $fixture"
        rm -rf "$work"
        mkdir -p "$work"
        gzip -dc "$fixture/Image.gz" >"$work/Image"
        tar -C "$work" -xJf "$fixture/linux-headers-5.4.286-k54.tar.xz"
        ln -sfn linux-headers-5.4.286-k54 "$work/headers"
        touch "$work/.complete"
    fi
    echo "$work"
}

# ---- 6.1: Debian 12's arm64 kernel ------------------------------------------

# The ABI (e.g. 6.1.0-57) moves with Debian's security updates: ask apt which
# image the metapackage points at today.
resolve_abi() {
    apt-cache depends linux-image-arm64:arm64 2>/dev/null \
        | sed -n -E 's/.*Depends: linux-image-([0-9.]+-[0-9]+)-arm64.*/\1/p' | head -n 1
}

# Of the stock modules in $1, which take most of the room, keeps only those
# a root file system on a virtio disk needs (the Debian board's initramfs),
# with their modules.dep.
keep_disk_modules() {
    local dir=$1 keep
    keep='/(virtio_pci[a-z_]*|virtio_blk|ext4|jbd2|mbcache|crc16|crc32c_generic)\.ko$'
    [ -d "$dir/kernel" ] || { log "no modules in $dir"; return 1; }
    find "$dir/kernel" -name '*.ko' | grep -v -E "$keep" | xargs rm -f
    find "$dir/kernel" -depth -type d -empty -delete
    depmod -b "$dir/../../.." "$(basename "$dir")"
    [ "$(grep -c . "$dir/modules.dep")" -ge 7 ] || { log "the virtio disk modules are not all in $dir"; return 1; }
}

# Unpacks the kernel image and its headers into $cache/6.1/<abi>.
unpack_debian_kernel() {
    local abi=$1 work=$cache/6.1/$1
    # (An unpacking of earlier days kept no modules at all.)
    [ -f "$work/.complete" ] && [ -f "$work/root/lib/modules/$abi-arm64/modules.dep" ] && return
    log "downloading Debian's arm64 kernel $abi and its headers"
    apt_unpack "$work" "linux-image-$abi-arm64:arm64" "linux-headers-$abi-arm64:arm64" \
        "linux-headers-$abi-common" || return 1
    keep_disk_modules "$work/root/lib/modules/$abi-arm64" || return 1

    # The headers' scripts link points at ../../lib/linux-kbuild-6.1: lead it
    # to the host's kbuild, which runs the amd64 tools for an arm64 build.
    mkdir -p "$work/root/usr/lib"
    ln -sfn /usr/lib/linux-kbuild-6.1 "$work/root/usr/lib/linux-kbuild-6.1"
    # The arm64 headers include the common ones by their installed path.
    sed -i "s|/usr/src/linux-headers-|$work/root/usr/src/linux-headers-|" \
        "$work/root/usr/src/linux-headers-$abi-arm64/Makefile"
    ln -sfn "root/boot/vmlinuz-$abi-arm64" "$work/Image"
    ln -sfn "root/usr/src/linux-headers-$abi-arm64" "$work/headers"
    touch "$work/.complete"
}

check_kbuild_version() {
    local abi=$1 headers_version kbuild_version
    kbuild_version=$(dpkg-query -W -f '${Version}' linux-kbuild-6.1)
    headers_version=$(apt-cache show "linux-headers-$abi-arm64:arm64" 2>/dev/null \
        | sed -n 's/^Version: //p' | head -n 1)
    if [ -n "$headers_version" ] && dpkg --compare-versions "$kbuild_version" lt "$headers_version"; then
        apt_need_root "linux-kbuild-6.1 $kbuild_version is older than the headers ($headers_version)"
        log "upgrading linux-kbuild-6.1"
        apt_update
        apt_install --only-upgrade linux-kbuild-6.1
    fi
}

prepare_debian_kernel() {
    local abi
    if ! apt-cache show linux-image-arm64:arm64 >/dev/null 2>&1; then
        apt_need_root "no arm64 kernel in the package lists"
        apt_update
    fi
    abi=$(resolve_abi)
    if [ -z "$abi" ]; then
        apt_update
        abi=$(resolve_abi)
    fi
    [ -n "$abi" ] || { log "cannot resolve the arm64 kernel ABI from apt"; exit 1; }
    if ! unpack_debian_kernel "$abi"; then
        # Old package lists name a kernel that has left the mirror.
        [ "$apt_updated" = no ] || exit 1
        apt_update
        abi=$(resolve_abi)
        unpack_debian_kernel "$abi" || { log "cannot download the arm64 kernel $abi"; exit 1; }
    fi
    check_kbuild_version "$abi"
    echo "$cache/6.1/$abi"
}

# ---- a kernel of one's own ---------------------------------------------------

# Checks DIR/Image and DIR/headers and names the folder in the cache that
# points at them.
prepare_own_kernel() {
    local dir image tree work
    dir=$(realpath "$1")
    image=$dir/Image
    tree=$dir/headers
    [ -f "$image" ] || { log "$dir has no Image"; exit 1; }
    case $(file -b -L "$image") in
        *"ARM64 boot executable Image"*) ;;
        *) log "$image is not an uncompressed arm64 kernel Image"; exit 1 ;;
    esac
    if [ ! -f "$tree/include/generated/utsrelease.h" ] || [ ! -f "$tree/.config" ]; then
        log "$tree is not a prepared kernel tree (make modules_prepare)"
        exit 1
    fi
    [ -s "$tree/Module.symvers" ] ||
        log "warning: $tree has no Module.symvers; modpost cannot check the modules' kernel symbols"
    work=$cache/own/$(echo "$dir" | sha256sum | cut -c 1-12)
    mkdir -p "$work"
    ln -sfn "$image" "$work/Image"
    ln -sfn "$tree" "$work/headers"
    echo "$work"
}

main() {
    apt_install_missing "${host_packages[@]}"
    add_arm64_architecture
    mkdir -p "$cache"
    local busybox folder release
    busybox=$(prepare_busybox)
    case $kernel in
        5.4 | 5.4-debug) folder=$(prepare_k54 "$kernel") ;;
        6.1) folder=$(prepare_debian_kernel) ;;
        *) folder=$(prepare_own_kernel "$kernel") ;;
    esac
    ln -sfn "$busybox" "$folder/busybox"
    release=$(kbuild_release "$folder/headers")
    [ -n "$release" ] || { log "no kernel release in $folder/headers"; exit 1; }
    echo "$release" >"$folder/release"
    echo "$folder"
}

main "$@"
