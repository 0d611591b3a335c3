# Shared by the package scripts: the parts of a reproducible Debian package
# that do not depend on what it holds. Sourced, not run; needs $top and
# SOURCE_DATE_EPOCH (the changelog's date).
# shellcheck shell=bash

meta_changelog=${top:?}/packaging/deb/changelog

deb_version() {
    dpkg-parsechangelog -l "$meta_changelog" -S Version
}

deb_date() {
    dpkg-parsechangelog -l "$meta_changelog" -S Timestamp
}

# The doc folder of package $2 in root $1: copyright $3 and the changelog
# of the source, compressed without a time stamp.
deb_doc() {
    local root=$1 name=$2 copyright=$3 doc
    doc=$root/usr/share/doc/$name
    install -d "$doc"
    install -m 0644 "$copyright" "$doc/copyright"
    gzip -9n -c "$meta_changelog" >"$doc/changelog.gz"
}

# Writes DEBIAN/control from template $2 (sed scripts $4... fill in its own
# fields; @VERSION@ and @INSTALLED_SIZE@ are filled here), fixes modes and
# times, and packs root $1 into $3.
deb_pack() {
    local root=$1 template=$2 deb=$3 installed_size
    shift 3
    # KiB as dpkg-gencontrol counts them: each file rounded up, 1 per
    # folder; unlike du, the same on every file system.
    installed_size=$(cd "$root" && find . -path ./DEBIAN -prune -o -printf '%y %s\n' |
        awk '$1 == "f" { kib += int(($2 + 1023) / 1024) } $1 == "d" { kib += 1 } END { print kib }')
    install -d "$root/DEBIAN"
    sed -e "s/@VERSION@/$(deb_version)/g" -e "s/@INSTALLED_SIZE@/$installed_size/" "$@" \
        "$template" >"$root/DEBIAN/control"
    (cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
        xargs -0 md5sum >DEBIAN/md5sums)

    # Modes and times that do not depend on the build machine.
    find "$root" -type d -exec chmod 0755 {} +
    find "$root" -type f ! -perm -u+x -exec chmod 0644 {} +
    find "$root" -type f -perm -u+x -exec chmod 0755 {} +
    find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
}
