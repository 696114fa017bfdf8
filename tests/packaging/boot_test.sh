#!/usr/bin/env bash
# Boots this system's root, with the package installed, as a systemd-nspawn
# container over a throw-away overlay, and runs the hardened unit there: it
# must start, and a stop that lands in a cycle (a pvs that takes 15 s) must
# let pvs finish and end the daemon cleanly soon after. Run as root in a
# private mount namespace: unshare -m --propagation private boot_test.sh DEB
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

# One OSD on sdb, and a pvs that takes 15 s, so a cycle is slow.
osd=$root/var/lib/ceph/osd/ceph-0
mkdir -p "$osd" "$root/usr/local/sbin"
echo 0123456789abcdef0123456789abcdef0123 >"$osd/fsid"
ln -s /dev/sdb "$osd/block"
printf '#!/bin/sh\necho "pvs started" >>/var/log/pvs-stub.log\nsleep 15\necho "pvs finished" >>/var/log/pvs-stub.log\n' \
    >"$root/usr/local/sbin/pvs"
chmod 755 "$root/usr/local/sbin/pvs"
# The stand-in node is no disk and cannot be opened, which the unit's check
# before the start rightly refuses; tests/e2e/system proves that check.
mkdir -p "$root/etc/systemd/system/ceph-zarvel.service.d"
printf '[Service]\nExecStartPre=\n' >"$root/etc/systemd/system/ceph-zarvel.service.d/stand-in.conf"
# The real pvs under the unit's own confinement must still work.
sed -n '/^\[Service\]/,/^\[Install\]/p' "$root/lib/systemd/system/ceph-zarvel.service" |
    sed -e '$a ExecStart=/sbin/pvs\nStandardOutput=file:/zarvel-pvs\nStandardError=file:/zarvel-pvs' \
        -e '/^\[Install\]/d; /^Exec/d; /^Restart/d; /^KillMode/d; s/^Type=.*/Type=oneshot/' \
    >"$root/etc/systemd/system/zarvel-pvs.service"
cat >"$root/etc/systemd/system/zarvel-check.target" <<'EOF'
[Unit]
Requires=basic.target zarvel-check.service
After=basic.target
EOF
cat >"$root/etc/systemd/system/zarvel-check.service" <<'EOF'
[Service]
Type=oneshot
ExecStart=/bin/bash -c 'systemctl start zarvel-pvs && echo "pvs $(systemctl show -P Result zarvel-pvs)"; cat /zarvel-pvs; mknod /dev/sdb b 60 16; systemctl start ceph-zarvel; sleep 4; s=$SECONDS; systemctl stop ceph-zarvel; echo "stop took $((SECONDS - s)) s"; systemctl show -p Result,ExecMainStatus ceph-zarvel; cat /var/log/pvs-stub.log /var/log/ceph-zarvel.log; systemctl poweroff'
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
expect '^pvs success$' "pvs fails under the unit's confinement"
# The daemon's own "realpath failed" lines are expected: the stand-in node has
# no sysfs entry in the container.
grep -iE 'denied|not permitted|read-only|failed' "$result" | grep -qv 'realpath failed' &&
    { echo "FAIL: pvs complains under the confinement"; fail=1; }
expect '\[INFO\]\[ceph zarvel start\]$' "the hardened daemon did not start"
expect '\[INFO\]\[ceph zarvel stop\]$' "no clean stop line"
expect '^Result=success$' "the unit did not stop cleanly"
expect '^ExecMainStatus=0$' "the daemon did not exit with 0"
took=$(sed -n 's/^stop took \([0-9]*\) s$/\1/p' "$result")
[ "${took:-999}" -le 20 ] || { echo "FAIL: stop took ${took:-?} s"; fail=1; }
# A pvs that ran when the stop came must have been left to finish.
[ "$(grep -c 'pvs started' "$result")" = "$(grep -c 'pvs finished' "$result")" ] ||
    { echo "FAIL: a pvs child was killed by the stop"; fail=1; }
[ $fail -eq 0 ] && echo "hardened unit ran and stopped cleanly under systemd"
exit $fail
