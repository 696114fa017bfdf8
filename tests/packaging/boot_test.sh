#!/usr/bin/env bash
# Boots this system's root, with the package installed, as a systemd-nspawn
# container over a throw-away overlay, and runs the hardened unit there: it
# must start, and a stop must end the daemon cleanly soon after. Run as root
# in a private mount namespace: unshare -m --propagation private boot_test.sh DEB
set -euo pipefail
deb=${1:?usage: boot_test.sh DEB}
top=$(mktemp -d)
mount -t tmpfs zarvel-boot "$top"
mkdir "$top/upper" "$top/work" "$top/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$top/upper,workdir=$top/work" "$top/root"
root=$top/root
mount -t tmpfs run "$root/run"
mount --bind /proc "$root/proc"
cp "$deb" "$root/tmp/z.deb"
chroot "$root" dpkg -i /tmp/z.deb >/dev/null
umount "$root/proc" "$root/run"

# One OSD on sdb (a stand-in node, no disk).
osd=$root/var/lib/ceph/osd/ceph-0
mkdir -p "$osd"
echo 0123456789abcdef0123456789abcdef0123 >"$osd/fsid"
ln -s /dev/sdb "$osd/block"
cat >"$root/etc/systemd/system/zarvel-check.target" <<'EOF'
[Unit]
Requires=basic.target zarvel-check.service
After=basic.target
EOF
cat >"$root/etc/systemd/system/zarvel-check.service" <<'EOF'
[Service]
Type=oneshot
ExecStart=/bin/bash -c 'mknod /dev/sdb b 60 16; systemctl start ceph-zarvel; sleep 4; s=$SECONDS; systemctl stop ceph-zarvel; echo "stop took $((SECONDS - s)) s"; systemctl show -p Result,ExecMainStatus ceph-zarvel; cat /var/log/ceph-zarvel.log; systemctl poweroff'
StandardOutput=file:/zarvel-result
EOF
timeout 300 systemd-nspawn -q --register=no --keep-unit --link-journal=no \
    --uuid="$(tr -d - </proc/sys/kernel/random/uuid)" -D "$root" -b systemd.unit=zarvel-check.target \
    >"$top/console.log" 2>&1 || true
result=$top/upper/zarvel-result
[ -f "$result" ] || { echo "container gave no result"; tail -20 "$top/console.log"; exit 1; }
cat "$result"

fail=0
expect() { grep -qE "$1" "$result" || { echo "FAIL: $2"; fail=1; }; }
grep -iE 'denied|not permitted|read-only' "$result" && { echo "FAIL: the confinement refuses the daemon"; fail=1; }
expect '\[INFO\]\[ceph zarvel start\]$' "the hardened daemon did not start"
expect '\[INFO\]\[ceph zarvel stop\]$' "no clean stop line"
expect '^Result=success$' "the unit did not stop cleanly"
expect '^ExecMainStatus=0$' "the daemon did not exit with 0"
took=$(sed -n 's/^stop took \([0-9]*\) s$/\1/p' "$result")
[ "${took:-999}" -le 20 ] || { echo "FAIL: stop took ${took:-?} s"; fail=1; }
[ $fail -eq 0 ] && echo "hardened unit ran and stopped cleanly under systemd"
exit $fail
