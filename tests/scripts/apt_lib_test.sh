#!/usr/bin/env bash
# scripts/apt-lib.sh against stand-ins for dpkg, apt-get and id that log
# their calls: which packages count as missing, what happens without root,
# and one apt-get update a run. Ends with "N passed, N failed".
set -uo pipefail

top=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The stand-ins: the packages in $scratch/installed are installed, $scratch/uid
# is the user id, and every apt-get call is a line in $scratch/apt-get.log.
mkdir "$scratch/bin"
cat >"$scratch/bin/dpkg" <<'STUB'
#!/bin/sh
[ "$1" = -s ] && grep -qx "$2" "$STUB_DIR/installed"
STUB
cat >"$scratch/bin/id" <<'STUB'
#!/bin/sh
cat "$STUB_DIR/uid"
STUB
cat >"$scratch/bin/apt-get" <<'STUB'
#!/bin/sh
echo "$*" >>"$STUB_DIR/apt-get.log"
echo "apt-get output"
STUB
chmod +x "$scratch/bin"/*
export STUB_DIR=$scratch PATH=$scratch/bin:$PATH

. "$top/tests/scripts/check-lib.sh"
check_name=apt-lib

# Runs the shell code $2 with the helper sourced, as user $1; leaves its
# status, stdout, stderr and the apt-get calls in $status, $out, $err, $calls.
run() {
    echo "$1" >"$scratch/uid"
    rm -f "$scratch/apt-get.log"
    touch "$scratch/apt-get.log"
    out=$(apt_name=tool apt_root_hint="run as root" bash -c ". '$top/scripts/apt-lib.sh'; $2" \
        2>"$scratch/err")
    status=$?
    err=$(cat "$scratch/err")
    calls=$(cat "$scratch/apt-get.log")
}

printf '%s\n' cmake make >"$scratch/installed"

run 1000 "apt_install_missing cmake make"
check "all there, not root: status" "$status" 0
check "all there, not root: messages" "$out$err" ""
check "all there, not root: apt-get" "$calls" ""

run 1000 "apt_install_missing cmake file make clang; echo went on"
check "missing, not root: status" "$status" 1
check "missing, not root: message names only the missing ones" "$err" \
    "tool: missing packages file clang; run as root"
check "missing, not root: the script stops" "$out" ""
check "missing, not root: apt-get" "$calls" ""

run 0 "apt_install_missing cmake file; apt_install_missing clang make"
check "missing, root: status" "$status" 0
check "missing, root: nothing on stdout" "$out" ""
check "missing, root: says what it installs" "$err" "tool: installing file
tool: installing clang"
check "missing, root: one update, then only the missing packages" "$calls" "update -qq
install -y -qq --no-install-recommends file
install -y -qq --no-install-recommends clang"

# A caller that adds an architecture wants fresh lists again.
run 0 "apt_update; apt_update; apt_updated=no; apt_update"
check "update again after apt_updated=no" "$calls" "update -qq
update -qq"

check_done
