#!/usr/bin/env bash
# Builds the board's Debian package, timing-support_VERSION_arm64.deb, into
# the given folder (default build/package): the cross build of the programs,
# installed with CMake's install rules under /usr, and packed with dpkg-deb.
#
# The package is reproducible: its times come from the changelog's date
# (SOURCE_DATE_EPOCH), owners, modes and the order of the files are fixed,
# and no path of the build machine gets into the binaries, so the same
# sources give the same bytes.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$top/build/package}" && cd "${1:-$top/build/package}" && pwd)
"$top/scripts/install-deps.sh"

. "$top/scripts/deb-lib.sh"
. "$top/scripts/kbuild-lib.sh"
meta=$top/packaging/deb
name=timing-support
SOURCE_DATE_EPOCH=$(deb_date)
export SOURCE_DATE_EPOCH

# Warnings are not errors here (the tests' cross build has them so), so
# that a newer compiler on a packager's machine does not stop the package.
"$top/scripts/cross-build.sh" "$out/aarch64" -DCMAKE_INSTALL_PREFIX=/usr \
    -DSYSTEMD_UNIT_DIR=/lib/systemd/system \
    -DSYSTEMD_GENERATOR_DIR=/lib/systemd/system-generators -DUDEV_RULES_DIR=/lib/udev/rules.d \
    -DWERROR=OFF >/dev/null

root=$out/root
rm -rf "$root"
umask 022
DESTDIR=$root cmake --install "$out/aarch64" >/dev/null
for program in "$root"/usr/sbin/*; do
    aarch64-linux-gnu-strip --strip-unneeded --remove-section=.comment --remove-section=.note "$program"
done

module_version=$(kbuild_package_version "$root"/usr/src/kv-ptp-*/dkms.conf)

deb_doc "$root" "$name" "$meta/copyright"
find "$root/usr/share/man" -type f ! -name '*.gz' -exec gzip -9n {} +
install -d "$root/usr/share/lintian/overrides"
install -m 0644 "$meta/lintian-overrides" "$root/usr/share/lintian/overrides/$name"

install -d "$root/DEBIAN"
for script in postinst prerm postrm; do
    sed "s/@MODULE_VERSION@/$module_version/g" "$meta/$script" >"$root/DEBIAN/$script"
    chmod 0755 "$root/DEBIAN/$script"
done
# Every file under /etc is the administrator's once installed.
(cd "$root" && find etc -type f -printf '/%p\n' | LC_ALL=C sort) >"$root/DEBIAN/conffiles"
deb=$out/${name}_$(deb_version)_arm64.deb
deb_pack "$root" "$meta/control.in" "$deb"
echo "$deb"
