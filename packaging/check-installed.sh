#!/usr/bin/env bash
# Checks an installed ceph-zarvel package on the system it runs on: files in
# place, the daemon's unit and the collector's timer enabled, the units
# accepted by systemd-analyze, the daemon's exposure score, the man pages.
# Runs in a chroot (scripts/test.d/50-package.sh) or in a booted guest.
#
# In a guest booted with systemd (tests/e2e/system does so on every run),
# --live DISK also runs the service: DISK (say sdb) must be the rotational
# data disk of a BlueStore OSD with a separate block.db, with its write
# cache on. The check waits for the hardened service to switch it, then
# stops the service and expects a clean stop.
# Usage: check-installed.sh [--live DISK [SECONDS]]
set -euo pipefail

unit=ceph-zarvel.service
max_exposure=1.7
fail=0
bad() { echo "FAIL: $*"; fail=1; }

collector=ceph-zarvel-report.service
timer=ceph-zarvel-report.timer
for f in /usr/sbin/ceph-zarvel /usr/sbin/ceph-zarvel-report /lib/systemd/system/{$unit,$collector,$timer} \
    /usr/share/man/man8/ceph-zarvel{,-report}.8.gz; do
    [ -e "$f" ] || bad "$f not installed"
done
[ -x /usr/sbin/ceph-zarvel ] || bad "daemon not executable"
[ "$(systemctl is-enabled $unit 2>&1)" = enabled ] || bad "$unit not enabled on install"
[ "$(systemctl is-enabled $timer 2>&1)" = enabled ] || bad "$timer not enabled on install"

systemd-analyze verify $unit $collector $timer || bad "systemd-analyze verify rejects $unit, $collector or $timer"
score=$(systemd-analyze security --offline=true $unit 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
echo "exposure score: ${score:-none} (at most $max_exposure)"
awk -v s="${score:-99}" -v m=$max_exposure 'BEGIN { exit !(s <= m) }' ||
    bad "exposure score ${score:-none} above $max_exposure"

for page in ceph-zarvel ceph-zarvel-report; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l /usr/share/man/man8/$page.8.gz 2>&1 >/dev/null)
    [ -z "$warnings" ] || bad "$page(8) warnings: $warnings"
done

if [ "${1:-}" = --live ]; then
    disk=${2:?--live needs a disk name}
    wait_s=${3:-120}
    log=/var/log/ceph-zarvel.log
    [ -d /run/systemd/system ] || bad "--live needs systemd as PID 1"
    systemctl start $unit
    for ((i = 0; i < wait_s; i++)); do
        grep -q "\[change config of $disk succeed\]" $log 2>/dev/null && break
        sleep 1
    done
    grep -q "\[change config of $disk succeed\]" $log || bad "$disk not switched within $wait_s s"
    grep -q '^write through' /sys/block/$disk/queue/write_cache || bad "kernel still reports write back on $disk"
    [ "$(systemctl is-active $unit)" = active ] || bad "$unit not active"
    start=$SECONDS
    systemctl stop $unit
    echo "stop took $((SECONDS - start)) s"
    tail -1 $log | grep -q '\[ceph zarvel stop\]$' || bad "no stop line at the end of the log"
    [ "$(systemctl show -P Result $unit)" = success ] || bad "$unit did not stop cleanly"
fi
[ $fail -eq 0 ] && echo "installed package checks passed"
exit $fail
