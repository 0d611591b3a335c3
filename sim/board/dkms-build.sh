#!/usr/bin/env bash
# Builds kv_ptp.ko with DKMS from an unpacked package's /usr/src, for the
# simulated board's arm64 kernel, and leaves it in OUT_DIR:
#   dkms-build.sh SOURCE_TREE KERNEL_HEADERS OUT_DIR [VARIABLE=VALUE ...]
# The variables reach kbuild through the environment, as they would on the
# board. DKMS runs with a private tree, and with a throwaway /var/lib/dkms so
# that the signing key it makes up does not stay on this machine.
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/scripts/kbuild-lib.sh"
source_tree=$(realpath "$1")
headers=$(realpath "$2")
out=$3
shift 3

conf=$(echo "$source_tree"/kv-ptp-*/dkms.conf)
[ -f "$conf" ] || { echo "dkms-build: no kv-ptp source with a dkms.conf in $source_tree" >&2; exit 1; }
version=$(kbuild_package_version "$conf")
release=$(kbuild_release "$headers")

rm -rf "$out"
mkdir -p "$out/tree"
out=$(realpath "$out")
if ! env ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu- "$@" \
    unshare --mount sh -c 'mount -t tmpfs dkms-keys /var/lib/dkms && exec "$@"' sh \
    dkms build -m kv-ptp -v "$version" --sourcetree "$source_tree" --dkmstree "$out/tree" \
    -k "$release" --kernelsourcedir "$headers" -a aarch64 >"$out/dkms.log" 2>&1; then
    cat "$out/dkms.log" "$out"/tree/kv-ptp/"$version"/build/make.log 2>/dev/null
    echo "dkms-build: DKMS could not build kv-ptp $version for $release" >&2
    exit 1
fi
cp "$out/tree/kv-ptp/$version/$release/aarch64/module/kv_ptp.ko" "$out/kv_ptp.ko"
