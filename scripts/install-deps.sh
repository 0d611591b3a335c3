#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need; does
# nothing when they are all there already.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
apt_name=install-deps
apt_root_hint="run as root to install them"
. "$top/scripts/apt-lib.sh"

apt_install_missing cmake make g++ libgtest-dev g++-aarch64-linux-gnu file clang libclang-rt-14-dev \
    valgrind dpkg-dev devscripts debhelper dh-dkms lintian dkms systemd man-db groff-base util-linux kmod \
    sparse coccinelle ocaml-nox shellcheck clang-tidy clang-format-14 gcovr
