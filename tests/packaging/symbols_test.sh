#!/usr/bin/env bash
# What a binary must never carry, read from its symbol table: the read-only
# report links no command that changes a drive, and neither binary can
# start a process.
set -u
build=${1:?usage: symbols_test.sh BUILD-DIR}
# binary|extended regular expression over `nm -C` lines
rows='
ceph-zarvel-report|ModeSelect|SetWce|AtaDisable|Apply|RescanDevice|SyncCache|SyncDevice
ceph-zarvel| U (fork|vfork|f?exec[lv][pe]*|posix_spawnp?|system|popen)(@|$)
ceph-zarvel-report| U (fork|vfork|f?exec[lv][pe]*|posix_spawnp?|system|popen)(@|$)
'
status=0
while IFS='|' read -r binary pattern; do
    [[ -n $binary ]] || continue
    symbols=$(nm -C "$build/$binary") || { echo "FAIL $binary: no symbol table"; status=1; continue; }
    grep -E "$pattern" <<<"$symbols" && { echo "FAIL $binary carries the symbols above"; status=1; }
done <<<"$rows"
exit $status
