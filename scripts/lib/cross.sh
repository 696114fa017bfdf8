# Helpers for building for another Debian architecture. Source it after
# common.sh; do not run it.

# need_cross_packages ARCH PKG...: makes ARCH a foreign architecture of dpkg
# (libraries for it then install side by side, as PKG:ARCH) and installs PKG.
need_cross_packages() {
    local arch="$1"
    shift
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        dpkg --add-architecture "$arch"
        _zarvel_apt_updated=0
    fi
    need_packages "$@"
}

# gnu_type ARCH: the GNU triplet of a Debian architecture (aarch64-linux-gnu).
gnu_type() {
    dpkg-architecture -A "$1" -qDEB_HOST_GNU_TYPE 2>/dev/null
}
