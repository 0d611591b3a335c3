#!/usr/bin/env bash
# Builds the next version of the board's packages, for the upgrade and the
# downgrade of the lifecycle suite (run.sh -u DIR): a copy of the tree with
# one more changelog entry, and from it the main package and the module
# package for the kernel of board build BOARD_BUILD (sim/board/build.sh),
# into DIR. Prints the two packages.
#   sim/debian/next-version.sh BOARD_BUILD DIR
set -euo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
. "$top/scripts/deb-lib.sh"
usage="usage: next-version.sh BOARD_BUILD DIR"
board=$(realpath "${1:?$usage}")
out=$(mkdir -p "${2:?$usage}" && cd "$2" && pwd)
[ -s "$board/kmod/sim/Module.symvers" ] || { echo "next-version: $board is no board build" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
copy=$scratch/sources
deb_copy_sources "$copy"

# The one change: an entry for the next version (the last number up by
# one: 0.1 gives 0.2), dated as the one before it, so the build stays
# reproducible. CMake and the packages take the version from it.
changelog=$copy/${meta_changelog#"$top"/}
field() { dpkg-parsechangelog -l "$changelog" -S "$1"; }
version=$(field Version)
next=${version%.*}.$((${version##*.} + 1))
{
    printf '%s (%s) %s; urgency=%s\n\n  * A rebuild to test upgrades.\n\n -- %s  %s\n\n' \
        "$(field Source)" "$next" "$(field Distribution)" "$(field Urgency)" "$(field Maintainer)" "$(field Date)"
    cat "$changelog"
} >"$scratch/changelog"
mv "$scratch/changelog" "$changelog"

rm -f "$out"/*.deb
"$copy/scripts/package.sh" "$out" >/dev/null
KBUILD_EXTRA_SYMBOLS=$board/kmod/sim/Module.symvers "$copy/scripts/package-module.sh" "$board/headers" "$out" |
    tail -n 1
ls "$out/$(field Source)_${next}_arm64.deb"
