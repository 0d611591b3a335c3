#!/usr/bin/env bash
# Checks the board's Debian package built by scripts/package.sh:
#   check.sh contents|lintian|unit|reproducible PACKAGE.deb
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
what=$1
deb=$(realpath "$2")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
    echo "package: $*" >&2
    exit 1
}

unpack() {
    dpkg-deb -x "$deb" "$scratch/root"
    echo "$scratch/root"
}

# What the package installs where, with owners and modes; the programs are
# static aarch64 binaries; the module source is the repository's; the
# manual pages render without a warning; every version number agrees.
check_contents() {
    dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' >"$scratch/listing"
    diff -u "$top/tests/package/contents.txt" "$scratch/listing" || fail "unexpected contents"

    local root
    root=$(unpack)
    for program in morrask halvern; do
        case $(file -b "$root/usr/sbin/$program") in
            *"ARM aarch64"*"statically linked"*", stripped") ;;
            *) fail "usr/sbin/$program is not a stripped static aarch64 binary" ;;
        esac
    done

    local source=$top/rte/sources/kvLkmPtpAux
    diff -r -x CMakeLists.txt -x udev "$source" "$root/usr/src/kv-ptp-0.1" ||
        fail "the packaged module source differs from $source"
    diff "$source/include/kvPtpAuxApi.h" "$root/usr/include/kvPtpAuxApi.h" ||
        fail "the packaged ioctl header differs"

    local page warnings
    for page in "$root"/usr/share/man/man*/*.gz; do
        warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
            man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    done

    # The udev rule must name the module's class and nodes.
    local name
    name=$(sed -n 's/^#define KV_PTP_NAME\t*"\(.*\)"$/\1/p' "$source/src/ptp/kv_ptp.h")
    grep -q -x "SUBSYSTEM==\"$name\", KERNEL==\"${name}\[0-4\]\", GROUP=\"$name\", MODE=\"0660\"" \
        "$root/lib/udev/rules.d/60-kv-ptp.rules" || fail "the udev rule does not match the nodes $name[0-4]"

    local versions
    versions=$(printf '%s\n' \
        "$(dpkg-deb -f "$deb" Version)" \
        "$(sed -n 's/^PACKAGE_VERSION="\(.*\)"$/\1/p' "$root/usr/src/kv-ptp-0.1/dkms.conf")" \
        "$(sed -n 's/^#define KV_PTP_VERSION\t*"\(.*\)"$/\1/p' "$source/src/ptp/kvPtpAux.c")" \
        "$(sed -n 's/^project(.* VERSION \([0-9.]*\) .*/\1/p' "$top/CMakeLists.txt")" | sort -u)
    [ "$(echo "$versions" | wc -l)" -eq 1 ] || fail "versions disagree: $(echo $versions)"
    echo "package: contents as expected, version $versions"
}

# Every lintian tag is either absent or overridden with its reason.
check_lintian() {
    local report
    report=$(lintian --allow-root --display-info --pedantic --show-overrides "$deb" 2>&1) || true
    echo "$report"
    echo "$report" | grep -q '^O: ' || fail "lintian did not run: no override was reported"
    ! echo "$report" | grep -q -E '^[EWIPX]: ' || fail "lintian has tags that are not explained"
    echo "package: lintian clean but for the overrides above, each with its reason"
}

# systemd-analyze verify on an instance of the template, in a root that
# holds the package over this machine's own units, so that the program and
# the manual page the unit names are the packaged ones.
check_unit() {
    local root
    root=$(unpack)
    cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
    MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" halvern@2.service ||
        fail "systemd-analyze does not accept halvern@.service"
    echo "package: systemd-analyze accepts halvern@2.service"
}

# The same sources, copied to another path and built in another folder,
# give the same bytes.
check_reproducible() {
    mkdir "$scratch/sources"
    (cd "$top" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -) | tar -C "$scratch/sources" -xf -
    local again
    again=$("$scratch/sources/scripts/package.sh" "$scratch/out" | tail -n 1)
    cmp "$deb" "$again" || fail "a second build from the same sources differs"
    echo "package: reproducible, $(sha256sum "$deb" | cut -d' ' -f1)"
}

case $what in
    contents | lintian | unit | reproducible) "check_$what" ;;
    *) fail "unknown check $what" ;;
esac
