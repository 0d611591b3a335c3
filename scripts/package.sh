#!/usr/bin/env bash
# Builds the board's packages from this tree with dpkg-buildpackage (debian/),
# cross for arm64, into the given folder (default build/package): the source
# package (.dsc and .tar.xz), timing-support_VERSION_arm64.deb and its
# -dbgsym, kv-ptp-dkms and kv-ptp-dev (all), the .buildinfo and the .changes,
# whose path is the last line printed.
#   scripts/package.sh [dir]
# The build runs in a copy of the tree's files (git's, and new ones not yet
# ignored), as dpkg-buildpackage builds in the source folder and writes
# beside it. The results are reproducible (the changelog's date, mapped
# build paths): the same sources give the same bytes wherever they are built.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$top/build/package}" && cd "${1:-$top/build/package}" && pwd)
"$top/scripts/install-deps.sh"
. "$top/scripts/deb-lib.sh"

source=$out/timing-support-$(deb_version)
rm -rf "$source" "$out"/*.deb "$out"/*.dsc "$out"/*.tar.xz "$out"/*.buildinfo "$out"/*.changes
deb_copy_sources "$source"
# nocheck: the tests are the test command's, not the build's.
(cd "$source" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -aarm64 -Pcross,nocheck -us -uc) \
    >"$out/build.log" 2>&1 || { tail -n 40 "$out/build.log" >&2; echo "package: dpkg-buildpackage failed ($out/build.log)" >&2; exit 1; }
rm -rf "$source"
ls "$out"/timing-support_"$(deb_version)"_arm64.changes
