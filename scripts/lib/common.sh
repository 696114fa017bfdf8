# Shared helpers for the project's scripts. Source it; do not run it.

ZARVEL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
export DEBIAN_FRONTEND=noninteractive

_zarvel_apt_updated=0

# need_packages PKG...: installs the Debian packages that are not installed yet.
need_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$_zarvel_apt_updated" = 0 ]; then
        apt-get -o DPkg::Lock::Timeout=600 update -qq
        _zarvel_apt_updated=1
    fi
    echo "installing: ${missing[*]}"
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The packages every build needs.
need_build_packages() {
    need_packages cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev \
        sdparm sg3-utils hdparm
}

# build_preset NAME [TARGET...]: configures one CMake preset and builds it
# (only the TARGETs, if named).
build_preset() {
    local preset=$1 targets=()
    shift
    [ $# -eq 0 ] || targets=(--target "$@")
    (cd "$ZARVEL_ROOT" && cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" "${targets[@]}")
}
