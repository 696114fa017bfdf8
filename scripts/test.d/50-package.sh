# Debian packages for amd64 and arm64 (lintian-clean), then the amd64 one
# installed into a throw-away overlay of this system's root, inside a
# private mount namespace: nothing reaches the machine's own file systems.
# The same overlay, booted with systemd-nspawn, runs the hardened unit.
set -euo pipefail
source "$(dirname "$0")/../lib/common.sh"
need_packages systemd systemd-container man-db groff-base
cd "$ZARVEL_ROOT"

bash scripts/package amd64 arm64

deb=$(ls build-package/ceph-zarvel_*_amd64.deb)
unshare -m --propagation private bash -euo pipefail -s "$deb" <<'EOS'
deb=$1
top=$(mktemp -d)
mount -t tmpfs zarvel-root "$top"
mkdir "$top/upper" "$top/work" "$top/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$top/root"
root=$top/root
mount -t tmpfs run "$root/run"      # no /run/systemd/system: postinst starts nothing
mount --bind /proc "$root/proc"
cp "$deb" packaging/check-installed.sh "$root/tmp/"
chroot "$root" dpkg -i "/tmp/$(basename "$deb")" >/dev/null
bash tests/packaging/unit_test.sh "$root/lib/systemd/system/ceph-zarvel.service"
chroot "$root" bash /tmp/check-installed.sh
EOS
unshare -m --propagation private bash tests/packaging/boot_test.sh "$deb"
