# Shared by the package scripts and their checks. Sourced, not run; needs
# $top.
# shellcheck shell=bash

meta_changelog=${top:?}/debian/changelog

deb_version() {
    dpkg-parsechangelog -l "$meta_changelog" -S Version
}

deb_date() {
    dpkg-parsechangelog -l "$meta_changelog" -S Timestamp
}

# Copies the tree's files into the new folder $1: git's, and new ones not
# yet ignored (a file deleted or renamed but not yet in git's index is not
# one of them); from a tree outside git (such a copy), all but its builds.
deb_copy_sources() {
    mkdir -p "$1"
    if [ "$(git -C "$top" rev-parse --show-toplevel 2>/dev/null)" = "$top" ]; then
        (cd "$top" && git ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' file; do [ ! -e "$file" ] || printf '%s\0' "$file"; done |
            tar --null -T - -cf -) | tar -C "$1" -xf -
    else
        tar -C "$top" --exclude=./build --exclude='./build-*' -cf - . | tar -C "$1" -xf -
    fi
}
