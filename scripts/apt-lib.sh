# Debian packages for the scripts that install what they need: which are
# missing, installing them as root with at most one apt-get update a run,
# and a clear message when that needs root. Sourced, not run; the caller
# sets apt_name (its messages' prefix) and apt_root_hint (what to do about
# root) first.
# shellcheck shell=bash

apt_name=${apt_name:-$(basename "$0" .sh)}
apt_root_hint=${apt_root_hint:-run as root to install them}
# yes once the package lists are fresh; a caller that adds a source or an
# architecture sets it back to no.
apt_updated=no

apt_log() {
    echo "$apt_name: $*" >&2
}

# Ends the script with reason $1 unless it runs as root.
apt_need_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    apt_log "$1; $apt_root_hint"
    exit 1
}

# stdout stays clean: prepare.sh's last line there is its answer.
apt_update() {
    [ "$apt_updated" = yes ] && return 0
    DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null
    apt_updated=yes
}

# apt-get install, quiet and without recommended packages; $@ are its
# options and packages.
apt_install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# Installs those of the packages $@ that are not installed; needs root only
# when one is missing.
apt_install_missing() {
    local missing=() package
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    apt_need_root "missing packages ${missing[*]}"
    apt_log "installing ${missing[*]}"
    apt_update
    apt_install "${missing[@]}"
}

# Downloads the packages $2... (of any architecture dpkg knows) and unpacks
# them, never installed, into $1/root; the caller marks $1 complete.
apt_unpack() {
    local work=$1 deb
    shift
    rm -rf "$work" "$work.download"
    mkdir -p "$work.download" "$work/root"
    (cd "$work.download" && apt-get download -qq -o APT::Sandbox::User=root "$@") || return 1
    for deb in "$work.download"/*.deb; do
        dpkg -x "$deb" "$work/root" || return 1
    done
    rm -rf "$work.download"
}
