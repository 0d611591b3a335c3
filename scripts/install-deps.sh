#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need; does
# nothing when they are all there already.
set -euo pipefail

packages=(cmake make g++ libgtest-dev g++-aarch64-linux-gnu file clang libclang-rt-14-dev valgrind
    dpkg-dev lintian dkms systemd man-db groff-base util-linux kmod)
missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages ${missing[*]}; run as root to install them" >&2
    exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
