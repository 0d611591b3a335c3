#!/usr/bin/env bash
# Checks the board's Debian packages: those of one dpkg-buildpackage run
# (scripts/package.sh), named by its .changes, and a binary module package
# (scripts/package-module.sh):
#   check.sh contents|lintian|unit|reproducible|dkms PACKAGES.changes|MODULE_PACKAGE.deb [KERNEL_TREE]
#   check.sh dkms-upgrade PACKAGES.changes NEXT_PACKAGES.changes|DIR KERNEL_TREE
# A module package's second build needs the kernel tree it was built
# against (and KBUILD_EXTRA_SYMBOLS as it was built with); the dkms check
# takes a tree without the SoC driver's export (default: Debian's 6.1),
# dkms-upgrade one with it (and KBUILD_EXTRA_SYMBOLS where the driver is
# built outside the tree).
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/scripts/kbuild-lib.sh"
. "$top/scripts/deb-lib.sh"
what=$1
target=$(realpath "$2")
tree=${3:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The debs a .changes lists, by package name: deb_of NAME.
changes_debs() {
    sed -n '/^Files:/,/^[^ ]/s/^ [0-9a-f]* [0-9]* [^ ]* [^ ]* \(.*\.deb\)$/\1/p' "$1" | sed "s|^|$(dirname "$1")/|"
}
case $target in
    *.changes)
        debs=$(changes_debs "$target")
        deb=$(grep '/timing-support_[^/]*_arm64\.deb$' <<<"$debs") ;;
    *) debs=$target deb=$target ;;
esac
package=$(dpkg-deb -f "$deb" Package)
version=$(dpkg-deb -f "$deb" Version)
mapfile -t deb_files <<<"$debs"
deb_of() { grep "/${1}_[^/]*\.deb$" <<<"$debs"; }

fail() {
    echo "package: $*" >&2
    exit 1
}

unpack() {
    dpkg-deb -x "$deb" "$scratch/root"
    echo "$scratch/root"
}

# What deb $1 installs where, with owners and modes, against the listing
# tests/package/NAME.txt (RELEASE in it stands for the kernel release $2,
# VERSION for the package's version).
check_listing() {
    local name
    name=$(dpkg-deb -f "$1" Package)
    dpkg-deb -c "$1" | awk '{ print $1, $2, $6 }' >"$scratch/listing"
    sed -e "s/RELEASE/${2:-}/g" -e "s/VERSION/$version/g" "$top/tests/package/${name%-"${2:-}"}.txt" |
        diff -u - "$scratch/listing" || fail "unexpected contents of $name"
}

# The packaged programs' hardening, seen in the stripped static PIEs
# themselves. hardening-check must pass; it takes a static PIE (no
# interpreter) for a shared library, so file's "static-pie linked" in
# check_main_contents is what says PIE. Two of its detections cannot see a
# static program and are replaced here: the stack protector's, which looks
# for __stack_chk_fail among the symbols imported from a shared libc (a
# static program links it in; the empty symbol of a static PIE's .dynsym
# makes it report "not found", hardened or not, .symtab kept or not), and
# the control flow one, which knows x86's IBT/SHSTK only. Debian 12 builds
# libc and libstdc++ without branch protection (so no static binary gets
# the note that marks it whole): the functions that sign their return
# address (paciasp; negate_ra_state in their unwind entries) are the
# programs' own, and some must hold gcc's stack protector test (subs of
# canary and guard, mov clearing the guard, b.ne to the failure call).
# Fortified calls show by name only (scripts/cross-build.sh checks them);
# stack clash probes, only where a frame passes 64 KiB or grows at run
# time, which happens nowhere in these programs.
check_hardening() {
    local binary report counts
    for binary in "$@"; do
        report=$(hardening-check --nostackprotector --nocfprotection "$binary" 2>&1) ||
            { echo "$report"; fail "hardening-check fails on ${binary##*/}"; }
        # Its stack clash detection disassembles with the host's objdump,
        # which knows no aarch64 (and looks for x86 probes anyway).
        echo "$report" | grep -v "^objdump: can't disassemble"
        # The unwind entries give the signed functions' address ranges
        # (16 hex digits, compared as strings).
        counts=$(awk '
            FNR == NR {
                if ($4 == "FDE") { split(substr($6, 4), pc, /\.\./); from = pc[1]; to = pc[2] }
                else if (/negate_ra_state/ && !(from in end)) { end[from] = to; starts[++n] = from }
                next
            }
            function signed(address, i) {
                while (length(address) < 16) address = "0" address
                for (i = 1; i <= n; i++) if (address >= starts[i] && address < end[starts[i]]) return 1
                return 0
            }
            $1 ~ /^[0-9a-f]+:$/ {
                at = substr($1, 1, length($1) - 1)
                if ($2 == "paciasp" && signed(at)) signing++
                if ($2 == "b.ne" && op2 == "subs" && a2 == b2 && op1 == "mov" && a1 == c2 "," && b1 == "#0x0" && signed(at))
                    canaries++
                op2 = op1; a2 = a1; b2 = b1; c2 = c1
                op1 = $2; a1 = $3; b1 = $4; c1 = $5
            }
            END { print signing + 0, canaries + 0 }' \
            <(readelf --debug-dump=frames "$binary") <(aarch64-linux-gnu-objdump -d --no-show-raw-insn "$binary"))
        echo " Signed functions: ${counts% *} paciasp, ${counts#* } stack protector tests"
        [ "${counts% *}" -gt 0 ] || fail "${binary##*/}: no function signs its return address"
        [ "${counts#* }" -gt 0 ] || fail "${binary##*/}: no stack protector test in the programs' own functions"
    done
}

# The packages of one build: their listings; the programs are hardened
# static PIE aarch64 binaries whose debug information is in the -dbgsym
# package; the module source is the repository's, its generated files their
# templates with the package's version; the header is the repository's;
# the manual pages render without a warning; every version number agrees.
check_main_contents() {
    local name
    for name in timing-support kv-ptp-dkms kv-ptp-dev; do
        check_listing "$(deb_of "$name")"
    done
    [ "${#deb_files[@]}" -eq 4 ] || fail "the build made other packages: $(basename -a "${deb_files[@]}" | tr '\n' ' ')"

    local root program id
    root=$(unpack)
    dpkg-deb -x "$(deb_of kv-ptp-dkms)" "$root"
    dpkg-deb -x "$(deb_of kv-ptp-dev)" "$root"
    dpkg-deb -x "$(deb_of timing-support-dbgsym)" "$root"
    for program in morrask halvern kv-ptp-ctl; do
        kbuild_static_aarch64 "$root/usr/sbin/$program" stripped-pie >/dev/null ||
            fail "usr/sbin/$program is not a stripped static PIE aarch64 binary"
        id=$(readelf -n "$root/usr/sbin/$program" | sed -n 's/^ *Build ID: \(..\)\(.*\)$/\1\/\2/p')
        [ -f "$root/usr/lib/debug/.build-id/$id.debug" ] || fail "no debug information for $program (build ID $id)"
    done
    check_hardening "$root"/usr/sbin/{morrask,halvern,kv-ptp-ctl}

    local source=$top/rte/sources/kvLkmPtpAux module=$root/usr/src/kv-ptp-$version templates generated=() file
    templates=$(cd "$source" && find . -name '*.in' -printf '%P\n' | LC_ALL=C sort)
    for file in $templates; do
        generated+=(-x "$(basename "${file%.in}")")
    done
    diff -r -x CMakeLists.txt -x udev -x '*.in' "${generated[@]}" "$source" "$module" ||
        fail "the packaged module source differs from $source"
    for file in $templates; do
        sed "s/@PROJECT_VERSION@/$version/g" "$source/$file" | diff -u - "$module/${file%.in}" ||
            fail "the packaged ${file%.in} is not $file filled in for version $version"
    done
    diff "$source/include/kvPtpAuxApi.h" "$root/usr/include/kvPtpAuxApi.h" ||
        fail "the packaged ioctl header differs"

    local page warnings
    for page in "$root"/usr/share/man/man*/*.gz; do
        warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
            man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    done

    # The udev rule must name the module's class and nodes, and its group
    # be one the package creates.
    name=$(sed -n 's/^#define KV_PTP_NAME\t*"\(.*\)"$/\1/p' "$source/src/ptp/kv_ptp.h")
    grep -q -x "SUBSYSTEM==\"$name\", KERNEL==\"${name}\[0-4\]\", GROUP=\"$name\", MODE=\"0660\"" \
        "$root/lib/udev/rules.d/60-kv-ptp.rules" || fail "the udev rule does not match the nodes ${name}[0-4]"
    while read -r name; do
        grep -q -x "g $name -" "$root/usr/lib/sysusers.d/timing-support.conf" ||
            fail "the udev rules' group $name has no sysusers line"
    done < <(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$root"/lib/udev/rules.d/*.rules | sort -u)

    # The manual pages name it in their title line.
    local versions
    versions=$(printf '%s\n' \
        "$version" \
        "$(kbuild_package_version "$module/dkms.conf")" \
        "$(sed -n 's/^#define KV_PTP_VERSION\t*"\(.*\)"$/\1/p' "$module/src/ptp/kv_ptp_version.h")" \
        "$(for name in kv-ptp-dkms kv-ptp-dev timing-support-dbgsym; do dpkg-deb -f "$(deb_of "$name")" Version; done)" \
        "$(for page in "$root"/usr/share/man/man*/*.gz; do
            zcat "$page" | sed -n 's/^\.TH .* "timing-support \([^"]*\)" .*/\1/p' | grep . || echo "no version in ${page##*/}"
        done)" | sort -u)
    [ "$(echo "$versions" | wc -l)" -eq 1 ] || fail "versions disagree: ${versions//$'\n'/ }"
    echo "package: contents as expected, version $versions"
}

# A binary module package: its listing for the one kernel release in its
# name; the module is an aarch64 kernel module for exactly that release,
# built as the board gets it, with a symbol version for the SoC driver's
# otx2_ptp_pps_read; it depends on the main package of its own version, and
# its maintainer scripts run depmod for its release.
check_module_contents() {
    local release=${package#kv-ptp-modules-} root ko
    check_listing "$deb" "$release"
    root=$(unpack)
    ko=$root/lib/modules/$release/updates/kv_ptp.ko
    case $(file -b "$ko") in
        *"relocatable, ARM aarch64"*) ;;
        *) fail "kv_ptp.ko is not an aarch64 kernel module" ;;
    esac
    [ "$(modinfo -F vermagic "$ko" | cut -d' ' -f1)" = "$release" ] || fail "kv_ptp.ko is not for $release"
    [ -z "$(modinfo -F simulation "$ko")" ] || fail "kv_ptp.ko is a simulation build"
    modprobe --dump-modversions "$ko" | grep -q -w otx2_ptp_pps_read ||
        fail "kv_ptp.ko has no symbol version for otx2_ptp_pps_read"
    [ "$(modinfo -F version "$ko")" = "$version" ] || fail "module version $(modinfo -F version "$ko") is not $version"
    dpkg-deb -f "$deb" Depends | grep -q -F "timing-support (= $version)" ||
        fail "no dependency on timing-support $version"
    dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$scratch" ./postinst ./postrm
    { grep -q -x "	depmod -a $release" "$scratch/postinst" && grep -q -x "		depmod -a $release" "$scratch/postrm"; } ||
        fail "the maintainer scripts do not run depmod for $release"
    echo "package: $package holds kv_ptp.ko $version for Linux $release"
}

check_contents() {
    case $package in
        timing-support) check_main_contents ;;
        kv-ptp-modules-*) check_module_contents ;;
        *) fail "unknown package $package" ;;
    esac
}

# Every lintian tag is either absent or overridden with its reason.
check_lintian() {
    local report status=0
    report=$(lintian --allow-root --display-info --pedantic --show-overrides "$target" 2>&1) || status=$?
    echo "$report"
    # 2 says it reported tags of its fail-on level (shown overrides count);
    # 1 or anything else, that it could not check the package.
    [ "$status" -eq 0 ] || [ "$status" -eq 2 ] || fail "lintian did not run (exit status $status)"
    ! echo "$report" | grep -q -E '^[EWIPX]: ' || fail "lintian has tags that are not explained"
    echo "package: lintian clean but for the overrides shown, each with its reason"
}

# systemd-analyze verify on every unit of the package (the template as an
# instance), in a root that holds the package over this machine's own units
# and stand-ins for the system commands the units run (at their paths on
# the board, which this machine may lack), so that the programs and the
# manual pages the units name are the packaged ones.
check_unit() {
    local root units=() unit command oneshot=()
    root=$(unpack)
    for unit in "$root"/lib/systemd/system/*; do
        ! grep -q -x 'Type=oneshot' "$unit" || oneshot+=("$unit")
        unit=$(basename "$unit")
        units+=("${unit/@./@2.}")
    done
    cp -an /lib/systemd/system/. "$root/lib/systemd/system/"
    for command in /bin/stty /bin/udevadm /sbin/modprobe; do
        install -D /dev/null "$root$command"
        chmod 0755 "$root$command"
    done
    MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" "${units[@]}" ||
        fail "systemd-analyze does not accept the units"
    echo "package: systemd-analyze accepts ${units[*]}"
    # A oneshot unit without a start time limit holds the bring-up up for
    # as long as its program hangs.
    for unit in "${oneshot[@]}"; do
        grep -q -E '^TimeoutStartSec=[1-9]' "$unit" || fail "$(basename "$unit") has no start time limit"
    done
    echo "package: every oneshot unit has a start time limit: ${oneshot[*]##*/}"

    # Each unit's exposure as systemd-analyze scores it (0 to 10), at most
    # what its step needs: a ToD port or an ioctl, or the SPI bus and
    # /dev/mem, or loading a module. The threshold counts tenths.
    local limit score
    mkdir "$scratch/exposure"
    while read -r unit limit; do
        cp "$root/lib/systemd/system/${unit/@2./@.}" "$scratch/exposure/$unit"
        score=$(cd "$scratch/exposure" && systemd-analyze security --offline=true \
            --threshold="$(awk -v limit="$limit" 'BEGIN { print limit * 10 }')" "$unit" 2>&1) ||
            fail "$unit: exposure above $limit: $(echo "$score" | grep -E '✗|Overall')"
        echo "package: $unit: ${score##*exposure level for "$unit": }"
    done <<'LIMITS'
halvern@2.service 0.8
timing-clock.service 1.5
timing-pll.service 2.5
kv-ptp.service 2.5
LIMITS
}

# The DKMS package's own maintainer scripts with the real DKMS, on a machine
# whose one kernel is $tree, in a mount namespace over empty /var/lib/dkms,
# /usr/src and /lib/modules: run_dkms SCRIPT CHANGES... runs the shell
# lines SCRIPT there, where "unpack N" puts the module source of the Nth
# .changes' kv-ptp-dkms into /usr/src as dpkg would, $scratch/scriptsN
# holds its maintainer scripts and $release is the kernel's release. The
# output is in $scratch/dkms.log.
run_dkms() {
    local script=$1 changes n=0 dkms
    shift
    release=$(kbuild_release "$tree")
    for changes; do
        n=$((n + 1))
        dkms=$(changes_debs "$changes" | grep '/kv-ptp-dkms_[^/]*_all\.deb$')
        dpkg-deb -x "$dkms" "$scratch/root$n"
        mkdir "$scratch/scripts$n"
        dpkg-deb --ctrl-tarfile "$dkms" | tar -x -C "$scratch/scripts$n" ./postinst ./prerm
    done
    # shellcheck disable=SC2016  # expanded by the inner shell
    unshare --mount sh -e -c '
        tree=$1 release=$2 scratch=$3
        for dir in /var/lib/dkms /usr/src /lib/modules; do
            mkdir -p "$dir"  # a container may have no /lib/modules
            mount -t tmpfs dkms-check "$dir"
        done
        mkdir -p "/lib/modules/$release"
        ln -s "$tree" "/lib/modules/$release/build"
        # DKMS hands kbuild the ARCH of common.postinst, which the package
        # leaves empty for the machine it runs on: this machine builds for
        # the board.
        mkdir -p "$scratch/bin"
        printf "#!/bin/sh\nARCH=arm64 exec %s \"\$@\"\n" "$(command -v dkms)" >"$scratch/bin/dkms"
        chmod 0755 "$scratch/bin/dkms"
        export PATH="$scratch/bin:$PATH" CROSS_COMPILE=aarch64-linux-gnu-
        # As dpkg unpacks package $1: its files replace those of the one before.
        unpack() { rm -rf /usr/src/kv-ptp-*; cp -a "$scratch/root$1/usr/src/." /usr/src/; }
        ( '"$script"' ) || { status=$?; cat /var/lib/dkms/kv-ptp/*/build/make.log 2>/dev/null; exit $status; }' sh "$tree" "$release" "$scratch" >"$scratch/dkms.log" 2>&1 ||
        { cat "$scratch/dkms.log"; fail "DKMS fails the package on $release"; }
}

# On a kernel that lacks the SoC driver's export ($tree, by default Debian
# 12's arm64 6.1) install and upgrade succeed, the module is added but
# built for no kernel.
check_dkms() {
    tree=$(realpath "${tree:-$("$top/sim/board/prepare.sh" -k 6.1 | tail -n 1)/headers}")
    ! grep -q -w otx2_ptp_pps_read "$tree/Module.symvers" || fail "$tree exports otx2_ptp_pps_read"
    # shellcheck disable=SC2016  # expanded by the inner shell
    run_dkms '
        unpack 1
        "$scratch/scripts1/postinst" configure || { echo "install: postinst exit status $?"; exit 1; }
        dkms status -m kv-ptp
        "$scratch/scripts1/prerm" upgrade "$version" && unpack 1 && "$scratch/scripts1/postinst" configure "$version" ||
            { echo "upgrade: exit status $?"; exit 1; }
        dkms status -m kv-ptp' "$target"
    [ "$(grep -c -x -F "kv-ptp/$version: added" "$scratch/dkms.log")" -eq 2 ] ||
        { cat "$scratch/dkms.log"; fail "kv-ptp is not just added on $release"; }
    echo "package: install and upgrade skip kv_ptp on $release, which lacks otx2_ptp_pps_read"
}

# On a kernel with the export (KERNEL_TREE) DKMS builds and installs the
# module of each version as the packages go: version N, an upgrade to N+1
# (NEXT_PACKAGES.changes, or the one in DIR), a downgrade back to N; a
# remove leaves no trace.
check_dkms_upgrade() {
    local usage="usage: check.sh dkms-upgrade PACKAGES.changes NEXT_PACKAGES.changes KERNEL_TREE" next
    next=$(realpath "${tree:?$usage}")
    [ ! -d "$next" ] || next=$(ls "$next"/*_arm64.changes)
    tree=$(realpath "${1:?$usage}")
    next_version=$(sed -n 's/^Version: //p' "$next")
    export version next_version
    # shellcheck disable=SC2016  # expanded by the inner shell
    run_dkms '
        step() { "$scratch/scripts$1/$2" "$3" "$4" || { echo "$5: $2 exit status $?"; exit 1; }; }
        built() { echo "$1: kv_ptp.ko $(modinfo -F version "/lib/modules/$release/updates/dkms/kv_ptp.ko")"; }
        unpack 1 && step 1 postinst configure "" install && built install
        step 1 prerm upgrade "$next_version" upgrade && unpack 2 && step 2 postinst configure "$version" upgrade && built upgrade
        step 2 prerm upgrade "$version" downgrade && unpack 1 && step 1 postinst configure "$next_version" downgrade &&
            built downgrade
        step 1 prerm remove "" remove && rm -rf /usr/src/kv-ptp-*
        echo "left: $(find /var/lib/dkms /lib/modules -name "*kv*" | tr "\n" " ")"' "$target" "$next"
    local expected
    expected=$(printf '%s\n' "install: kv_ptp.ko $version" "upgrade: kv_ptp.ko $next_version" \
        "downgrade: kv_ptp.ko $version" "left: ")
    [ "$(grep -E '^(install|upgrade|downgrade|left):' "$scratch/dkms.log")" = "$expected" ] ||
        { cat "$scratch/dkms.log"; fail "DKMS does not follow $version, $next_version and back on $release"; }
    echo "package: DKMS built kv_ptp $version, $next_version, $version again on $release, and removed it"
}

# The same sources, copied to another path and built there later, give the
# same bytes: every package, and for a build of the source package its
# .dsc and tarball (the .buildinfo and .changes record the build's date).
check_reproducible() {
    deb_copy_sources "$scratch/sources"
    local compared=() file
    case $package in
        kv-ptp-modules-*)
            [ -n "$tree" ] || fail "the second build of $package needs its kernel tree"
            "$scratch/sources/scripts/package-module.sh" "$tree" "$scratch/out" >/dev/null
            compared=("$deb") ;;
        *)
            "$scratch/sources/scripts/package.sh" "$scratch/out" >/dev/null
            compared=("${deb_files[@]}" "${target%_*}.dsc" "${target%_*}.tar.xz") ;;
    esac
    for file in "${compared[@]}"; do
        cmp "$file" "$scratch/out/${file##*/}" || fail "a second build from the same sources differs"
        echo "package: reproducible $(sha256sum "$file" | sed 's|  .*/|  |')"
    done
}

case $what in
    contents | lintian | unit | reproducible | dkms) "check_$what" ;;
    dkms-upgrade) check_dkms_upgrade "${4:-}" ;;
    *) fail "unknown check $what" ;;
esac
