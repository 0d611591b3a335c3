#!/usr/bin/env bash
# The board built in BUILD_DIR holds exactly the guest suites the tests run,
# so that no suite is built into the image and then never run:
#   check-suites.sh BUILD_DIR SUITE...
set -euo pipefail

build=$1
shift
image=$(find "$build/rootfs/tests" -mindepth 1 -maxdepth 1 -printf '%f\n' | LC_ALL=C sort)
expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
if [ "$image" != "$expected" ]; then
    diff -u <(echo "$expected") <(echo "$image") | sed -n '3,$p'
    echo "suites: the board's /tests (+) and the suites run (-) differ"
    exit 1
fi
echo "suites: ${image//$'\n'/ }"
