#!/usr/bin/env bash
# Cross-builds the programs for the board (aarch64, static PIE, hardened)
# into the given folder and checks that the results are what the board can
# run. Further arguments go to CMake's configure step (the tests add
# -DWERROR=ON; scripts/package.sh builds without it).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/kbuild-lib.sh"
out=$(mkdir -p "${1:-$top/build/aarch64}" && cd "${1:-$top/build/aarch64}" && pwd)
shift || true

# Debian's hardening for arm64, as dpkg-buildflags gives it: fortified libc
# calls, the stack protector, RELRO and immediate binding (PIE is the
# compiler's default). Debian 12's dpkg-buildflags (dpkg 1.21) predates the
# stackclash and branch features that dpkg 1.22 turns on with hardening=+all
# (-fstack-clash-protection, -mbranch-protection=standard on arm64): where
# they are missing, their flags go in through its maintainer append. It
# runs in the source tree, so that its -ffile-prefix-map maps the sources'
# path to "."; the build folder, which may lie anywhere, is mapped after it
# (the last map that matches wins), so that no build path gets into the
# debug information and through it into the build ID the package keeps.
dpkg_flags() {
    DEB_HOST_ARCH=arm64 DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags "$@"
}
features=$(dpkg_flags --query-features hardening)
append=()
grep -q -x 'Feature: stackclash' <<<"$features" || append+=(-fstack-clash-protection)
grep -q -x 'Feature: branch' <<<"$features" || append+=(-mbranch-protection=standard)
append+=("-ffile-prefix-map=$out=.")
buildflags() {
    (cd "$top" && DEB_CXXFLAGS_MAINT_APPEND="${append[*]}" dpkg_flags --get "$1")
}
cppflags=$(buildflags CPPFLAGS)
cxxflags=$(buildflags CXXFLAGS)
ldflags=$(buildflags LDFLAGS)

# Static PIE: no shared libraries on the board, and the programs load at a
# random address. -static-pie takes the place of the toolchain file's
# -static (gcc picks the non-PIE start file when it sees both).
cmake -S "$top" -B "$out" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/aarch64-linux-gnu.cmake" \
    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS=$cppflags $cxxflags" \
    "-DCMAKE_EXE_LINKER_FLAGS=$ldflags -static-pie" "$@" >/dev/null
cmake --build "$out" --target morrask halvern kv-ptp-ctl -j "$(nproc)" >/dev/null

for program in pll-loader/morrask tod-sender/halvern kv-ptp-ctl/kv-ptp-ctl; do
    static=yes
    kind=$(kbuild_static_aarch64 "$out/$program" pie) || static=no
    echo "$(basename "$program"): $kind"
    [ "$static" = yes ] || { echo "cross-build: $out/$program is not a static PIE aarch64 binary" >&2; exit 1; }
    # Fortified calls show by name only, so they are checked here, before
    # the package strips the names (tests/package/check.sh checks the rest
    # of the hardening in the packaged programs). libc and libstdc++ call no
    # __*_chk function themselves: one linked in is the program's own call.
    readelf -sW "$out/$program" | awk '$4 == "FUNC" && $8 ~ /^__[a-z_]+_chk$/ { found = 1 } END { exit !found }' ||
        { echo "cross-build: $out/$program calls no fortified libc function" >&2; exit 1; }
done
