#!/usr/bin/env bash
# Builds the binary module package for one board kernel, for boards that
# carry no compiler: kv-ptp-modules-RELEASE_VERSION_arm64.deb holds
# kv_ptp.ko built for exactly that kernel release, in
# /lib/modules/RELEASE/updates/, and depends on the main package.
#   scripts/package-module.sh KERNEL_TREE [dir]
# KERNEL_TREE is the kernel's prepared module-build tree (with its
# Module.symvers, so that modpost checks every symbol). When the SoC's PTP
# driver is built outside that tree, set KBUILD_EXTRA_SYMBOLS to its
# Module.symvers. dir defaults to build/package. Reproducible, like the main
# package: the same sources and tree give the same bytes.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
usage="usage: package-module.sh KERNEL_TREE [dir]"
tree=$(realpath "${1:?$usage}")
out=$(mkdir -p "${2:-$top/build/package}" && cd "${2:-$top/build/package}" && pwd)
"$top/scripts/install-deps.sh"
. "$top/scripts/deb-lib.sh"
. "$top/scripts/kbuild-lib.sh"
SOURCE_DATE_EPOCH=$(deb_date)
export SOURCE_DATE_EPOCH

fail() {
    echo "package-module: $*" >&2
    exit 1
}

release=$(kbuild_release "$tree" 2>/dev/null) || true
[ -n "$release" ] || fail "$tree is not a prepared kernel tree (no include/generated/utsrelease.h)"
echo "$release" | grep -q -E '^[a-z0-9][a-z0-9.+-]*$' ||
    fail "kernel release '$release' cannot be part of a package name"
[ -s "$tree/Module.symvers" ] || fail "$tree has no Module.symvers: modpost could not check the module's symbols"
name=kv-ptp-modules-$release
meta=$top/packaging/module-deb

# Kbuild writes its objects beside the sources: build from a copy, the
# source as the package holds it (its version files from a CMake configure
# of this tree), and keep its path out of the module.
work=$out/$name
rm -rf "$work"
mkdir -p "$work"
cmake -S "$top" -B "$work/cmake" -DBUILD_TESTING=OFF >/dev/null
kbuild_module_source "$top/rte/sources/kvLkmPtpAux" "$work/cmake" "$work/source"
module_dir=$work/source/src/ptp
status=0
kbuild_modules "$tree" "$module_dir" KCFLAGS="-ffile-prefix-map=$work/source=." || status=$?
[ "$status" -ne 1 ] || fail "kv_ptp.ko does not build"
[ "$status" -ne 2 ] || fail "warnings building kv_ptp.ko against $tree (KBUILD_EXTRA_SYMBOLS for the SoC's PTP driver?)"
ko=$module_dir/kv_ptp.ko
case $(modinfo -F vermagic "$ko") in
    "$release "*) ;;
    *) fail "kv_ptp.ko was built for another kernel: $(modinfo -F vermagic "$ko")" ;;
esac
! modinfo -F simulation "$ko" | grep -q . || fail "kv_ptp.ko is a simulation build"

# Packed by debhelper in a folder of its own: the package's debian/ made
# from packaging/module-deb for this release, with the source's changelog
# and copyright.
pkg=$work/pkg
mkdir -p "$pkg/debian"
sed "s/@RELEASE@/$release/g" "$meta/control.in" >"$pkg/debian/control"
cp "$top/debian/changelog" "$top/debian/copyright" "$pkg/debian/"
for script in postinst postrm; do
    sed "s/@RELEASE@/$release/g" "$meta/$script.in" >"$pkg/debian/$name.$script"
done
aarch64-linux-gnu-strip --strip-debug -o "$pkg/kv_ptp.ko" "$ko"
echo "kv_ptp.ko lib/modules/$release/updates/" >"$pkg/debian/$name.install"
(
    cd "$pkg"
    export DEB_HOST_ARCH=arm64
    for tool in dh_prep dh_install dh_installdocs dh_installchangelogs dh_compress dh_fixperms \
        dh_installdeb dh_gencontrol dh_md5sums; do
        "$tool"
    done
    dh_builddeb --destdir="$out"
) >"$work/debhelper.log" 2>&1 || { cat "$work/debhelper.log" >&2; fail "debhelper could not pack $name"; }
echo "$out/${name}_$(deb_version)_arm64.deb"
