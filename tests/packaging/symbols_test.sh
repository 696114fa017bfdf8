#!/usr/bin/env bash
# What each binary must never carry, read from its symbol table: the
# read-only report links no command that changes a drive.
set -u
build=${1:?usage: symbols_test.sh BUILD-DIR}

# binary|extended regular expression over `nm -C` lines
rows='
ceph-zarvel-report|ModeSelect|SetWce|AtaDisable|Apply|RescanDevice|SyncCache|SyncDevice
'
status=0
while IFS='|' read -r binary pattern; do
    [[ -n $binary ]] || continue
    if ! symbols=$(nm -C "$build/$binary"); then
        echo "FAIL $binary: no symbol table"; status=1; continue
    fi
    found=$(grep -E "$pattern" <<<"$symbols")
    if [[ -n $found ]]; then
        echo "FAIL $binary carries:"; echo "$found"; status=1
    fi
done <<<"$rows"
exit $status
