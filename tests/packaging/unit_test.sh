#!/usr/bin/env bash
# The unit hardens the daemon only as far as its job allows. Each row names
# something the job needs; the unit passes when none is taken away. Then
# the same rows must reject units that break the job in one known way.
set -u  # no pipefail: grep -q may close a pipe early on purpose
unit=${1:?usage: unit_test.sh UNIT-FILE}

# kind|directive|value       (why the job needs it)
rows='
is|ExecStart|/usr/sbin/ceph-zarvel
is|Type|simple
is|KillMode|mixed
is|Restart|on-failure
is|WantedBy|multi-user.target
has|CapabilityBoundingSet|CAP_SYS_RAWIO
has|CapabilityBoundingSet|CAP_SYS_ADMIN
has|CapabilityBoundingSet|CAP_DAC_READ_SEARCH
has|ReadWritePaths|/var/log
line|DeviceAllow|block-* r
oneof|DevicePolicy|closed auto
oneof|User|root
oneof|PrivateDevices|no
oneof|ProtectKernelTunables|no
oneof|PrivateUsers|no
oneof|DynamicUser|no
oneof|ProcSubset|all pid
has|RestrictAddressFamilies|AF_UNIX
has|SystemCallFilter|@system-service
denies-none|SystemCallFilter|ioctl prlimit64 @basic-io @file-system @process @signal @default @timer @io-event
denies-none|CapabilityBoundingSet|CAP_SYS_RAWIO CAP_SYS_ADMIN CAP_DAC_READ_SEARCH
covers-none|InaccessiblePaths ReadOnlyPaths TemporaryFileSystem|/dev /sys /var/log /var/lib/ceph /var/lib/rook
umask-keeps-log-private|UMask|
'
# Defaults of systemd where a directive is absent.
default_of() {
    case $1 in
    User) echo root ;; ProcSubset) echo all ;; DevicePolicy) echo auto ;; *) echo no ;;
    esac
}

# All values of a directive in the loaded unit, one per line; list
# directives accumulate.
values() {
    local l
    for l in "${LINES[@]}"; do
        [[ $l == "$1="* ]] && printf '%s\n' "${l#"$1="}"
    done
}
words() { values "$1" | tr ' ' '\n' | sed '/^$/d'; }

check_row() { # kind directive value
    local kind=$1 key=$2 want=$3 got k w
    case $kind in
    is) [ "$(values "$key" | tail -1)" = "$want" ] ;;
    has) values "$key" | grep -v '^~' | tr ' ' '\n' | grep -qxF -- "$want" ;;
    line) values "$key" | grep -qxF -- "$want" ;;
    oneof)
        got=$(values "$key" | tail -1)
        [ -n "$got" ] || got=$(default_of "$key")
        for w in $want; do [ "$got" = "$w" ] && return 0; done
        return 1 ;;
    denies-none)
        for w in $want; do
            values "$key" | grep '^~' | tr -d '~' | tr ' ' '\n' | grep -qxF -- "$w" && return 1
        done
        return 0 ;;
    covers-none)
        for k in $key; do
            for got in $(words "$k" | sed 's/^[-+]//; s/:.*//'); do
                for w in $want; do
                    case "$w/" in "${got%/}/"*) return 1 ;; esac
                done
            done
        done
        return 0 ;;
    umask-keeps-log-private)
        got=$(values "$key" | tail -1)
        [ -n "$got" ] && [ $(( 8#$got & 8#027 )) -eq $(( 8#027 )) ] ;;
    *) echo "unknown kind $kind"; return 1 ;;
    esac
}

failures() { # file [first]: prints the rows that fail (only the first)
    local kind key want
    mapfile -t LINES <"$1"
    while IFS='|' read -r kind key want; do
        [ -n "$kind" ] || continue
        check_row "$kind" "$key" "$want" && continue
        echo "$kind|$key|$want"
        [ -z "${2:-}" ] || return 0
    done <<<"$rows"
}

status=0
bad=$(failures "$unit")
[ -z "$bad" ] || { echo "unit takes away what the job needs:"; echo "$bad"; status=1; }

# Each mutation breaks the job one way; the rows must notice every one.
mutations=(
    's/^CapabilityBoundingSet=.*/CapabilityBoundingSet=CAP_SYS_ADMIN CAP_DAC_READ_SEARCH/'
    's/^CapabilityBoundingSet=.*/CapabilityBoundingSet=~CAP_SYS_RAWIO/'
    '$a ProtectKernelTunables=yes'
    '$a PrivateDevices=yes'
    '$a PrivateUsers=yes'
    '$a DynamicUser=yes'
    '$a User=nobody'
    '$a DevicePolicy=strict'
    '/^DeviceAllow=block/d'
    's|^ReadWritePaths=.*|ReadWritePaths=/var/log/ceph-zarvel.log|'
    '$a InaccessiblePaths=/var/lib/ceph'
    '$a TemporaryFileSystem=/var/log'
    '$a ReadOnlyPaths=/sys'
    '$a SystemCallFilter=~@file-system'
    '$a SystemCallFilter=~ioctl'
    '$a SystemCallFilter=~prlimit64'
    's/^RestrictAddressFamilies=.*/RestrictAddressFamilies=AF_INET/'
    '/^RestrictAddressFamilies=/d; $a RestrictAddressFamilies=none'
    's/^UMask=.*/UMask=0022/'
    's/^KillMode=.*/KillMode=control-group/'
)
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
for m in "${mutations[@]}"; do
    sed -e "$m" "$unit" >"$tmp"
    if cmp -s "$unit" "$tmp" || [ -z "$(failures "$tmp" first)" ]; then
        echo "mutation not caught: $m"
        status=1
    fi
done
n=$(grep -c . <<<"$rows")
[ $status -eq 0 ] && echo "unit keeps all $n needs; ${#mutations[@]} breaking mutations caught"
exit $status
