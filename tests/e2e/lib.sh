# Boots Debian's own kernel under QEMU with the node of tests/e2e/disks and a
# small initramfs holding busybox, lvm2, sdparm, sg3-utils, hdparm and the
# daemon; the guest runs a plan (tests/e2e/guest/init) and powers off.
# Source it after scripts/lib/common.sh.

E2E_DIR="$ZARVEL_ROOT/tests/e2e"
E2E_MODULES="ahci sd_mod virtio_scsi virtio_pci dm_mod dm_crypt dm_delay"
E2E_TOOLS="/usr/sbin/lvm /usr/bin/sdparm /usr/bin/sg_vpd /usr/bin/sg_luns /usr/bin/sg_modes /usr/bin/sg_inq /usr/sbin/hdparm /usr/bin/sg_sat_set_features /usr/bin/sg_sync /usr/bin/sg_reset /usr/bin/sg_turs /usr/sbin/cryptsetup /usr/sbin/dmsetup"
E2E_TRACE="scsi_req_parsed handle_cmd_fis_dump"

e2e_need_packages() {
    need_packages qemu-system-x86 linux-image-amd64 busybox-static lvm2 dmsetup cryptsetup-bin sdparm sg3-utils hdparm cpio kmod
}

e2e_kernel() { ls /boot/vmlinuz-* | sort -V | tail -n 1; }

# e2e_initramfs DIR: builds DIR/initrd.gz around build/ceph-zarvel.
e2e_initramfs() {
    local out=$1 root=$1/root kver bin lib
    kver=$(basename "$(e2e_kernel)"); kver=${kver#vmlinuz-}
    rm -rf "$root"; mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,etc/lvm,e2e,proc,sys,dev,run,var}
    cp /bin/busybox "$root/bin/busybox"; ln -s busybox "$root/bin/sh"
    cp "$E2E_DIR/guest/init" "$root/init"
    cp "$ZARVEL_ROOT/build/ceph-zarvel" "$ZARVEL_ROOT/build/ceph-zarvel-report" "$root/usr/bin/"
    for bin in $E2E_TOOLS "$ZARVEL_ROOT/build/ceph-zarvel"; do
        [ "$bin" = "$ZARVEL_ROOT/build/ceph-zarvel" ] || cp "$bin" "$root$bin"
        for lib in $(ldd "$bin" | grep -o '/[^ ]*'); do cp -nL --parents "$lib" "$root"; done
    done
    for bin in pvs pvcreate pvremove pvscan vgs vgcreate vgremove lvcreate lvs; do ln -s lvm "$root/usr/sbin/$bin"; done
    # No udev in the guest: LVM makes its own /dev nodes and links. Every PV
    # is on an sd disk; its scans pass over device-mapper devices, so none
    # waits on a suspended or delayed one.
    printf '%s\n' 'activation {' ' udev_sync = 0' ' udev_rules = 0' '}' \
        'devices {' ' obtain_device_list_from_udev = 0' ' global_filter = [ "a|^/dev/sd|", "r|.*|" ]' '}' \
        'global {' ' use_lvmlockd = 0' ' event_activation = 0' '}' >"$root/etc/lvm/lvm.conf"
    for mod in $E2E_MODULES; do modprobe -S "$kver" --show-depends "$mod"; done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' |
        while read -r mod; do cp --parents "$mod" "$root"; echo "$mod"; done >"$root/e2e/modules"
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initrd.gz"
}

# e2e_accel [KERNEL]: prints kvm or tcg, the accelerator QEMU should boot
# KERNEL (default: e2e_kernel) with, and says on stderr which one and why.
# A writable /dev/kvm proves nothing: under a nested hypervisor the guest
# may never run. So KVM only after a throwaway guest has printed a marker
# under it. ZARVEL_ACCEL=kvm|tcg forces the choice. The answer is kept in
# build/e2e-accel for this boot of the host, so every boot of a run after
# the first takes it from there.
E2E_PROBE_SECONDS=20
e2e_accel() {
    local kernel=${1:-$(e2e_kernel)} cache=$ZARVEL_ROOT/build/e2e-accel key accel why
    case ${ZARVEL_ACCEL:-} in
        kvm|tcg) echo "e2e: accelerator $ZARVEL_ACCEL: forced by ZARVEL_ACCEL" >&2; echo "$ZARVEL_ACCEL"; return ;;
        '') ;;
        *) echo "e2e: ZARVEL_ACCEL must be kvm or tcg, not '$ZARVEL_ACCEL'; probing" >&2 ;;
    esac
    key="$(cat /proc/sys/kernel/random/boot_id) $kernel"
    if [ -f "$cache" ] && [ "$(sed -n 1p "$cache")" = "$key" ]; then
        accel=$(sed -n 2p "$cache"); why=$(sed -n 3p "$cache")
        echo "e2e: accelerator $accel: $why (probed earlier in this boot); ZARVEL_ACCEL=kvm|tcg overrides" >&2
        echo "$accel"; return
    fi
    if [ ! -w /dev/kvm ]; then
        accel=tcg why="/dev/kvm is missing or not writable"
    elif why=$(e2e_probe_kvm "$kernel" "$ZARVEL_ROOT/build/e2e-probe"); then
        accel=kvm
    else
        accel=tcg
    fi
    mkdir -p "${cache%/*}"; printf '%s\n' "$key" "$accel" "$why" >"$cache"
    echo "e2e: accelerator $accel: $why; ZARVEL_ACCEL=kvm|tcg overrides" >&2
    echo "$accel"
}

# e2e_probe_kvm KERNEL DIR: boots KERNEL under KVM with an initramfs whose
# init only prints a marker and powers off. Prints what happened; status 0
# if the marker came within E2E_PROBE_SECONDS.
e2e_probe_kvm() {
    local kernel=$1 dir=$2 marker=zarvel-probe-ran start=$SECONDS rc=0
    rm -rf "$dir"; mkdir -p "$dir/root/bin" "$dir/root/dev"
    cp /bin/busybox "$dir/root/bin/busybox"; ln -s busybox "$dir/root/bin/sh"
    printf '%s\n' '#!/bin/sh' '/bin/busybox mount -t devtmpfs dev /dev' \
        "/bin/busybox echo $marker >/dev/ttyS0" '/bin/busybox poweroff -f' >"$dir/root/init"
    chmod +x "$dir/root/init"
    (cd "$dir/root" && find . | cpio -o -H newc --quiet | gzip -1) >"$dir/initrd.gz"
    timeout "$E2E_PROBE_SECONDS" qemu-system-x86_64 -accel kvm -m 256 -smp 1 -nodefaults -no-reboot \
        -display none -kernel "$kernel" -initrd "$dir/initrd.gz" \
        -append "console=ttyS0 quiet panic=-1" -serial "file:$dir/console" 2>"$dir/stderr" || rc=$?
    if grep -q "$marker" "$dir/console" 2>/dev/null; then
        echo "a probe guest ran under KVM in $((SECONDS - start)) s"
    elif [ $rc = 124 ]; then
        echo "a probe guest printed nothing in $E2E_PROBE_SECONDS s under KVM"; return 1
    else
        echo "a probe guest under KVM ended without printing (QEMU status $rc: $(tail -n 1 "$dir/stderr"))"; return 1
    fi
}

# e2e_boot DIR PLAN [QEMU-ARG...]: boots the node with a fresh set of disks
# and runs the guest commands in file PLAN. Leaves DIR/console (serial
# output) and DIR/trace (QEMU's trace of SCSI commands and AHCI FISes). The
# QEMU arguments come last, so they can also replace earlier ones. QEMU is
# ended after E2E_RUN_SECONDS (default: by the plan's number of scenarios).
e2e_boot() {
    local out=$1 plan=$2 accel limit role bus serial props n=0 t=0 args=()
    shift 2
    accel=$(e2e_accel)
    rm -rf "$out/plan"; mkdir -p "$out/plan/e2e"
    cp "$plan" "$out/plan/e2e/plan"; cp "$E2E_DIR/disks" "$out/plan/e2e/disks"
    (cd "$out/plan" && find e2e | cpio -o -H newc --quiet | gzip -1) | cat "$out/initrd.gz" - >"$out/initrd-plan.gz"
    args+=(-device ahci,id=ahci -device virtio-scsi-pci,id=vs)
    while read -r role bus serial props; do
        case $role in '#'*|'') continue ;; esac
        rm -f "$out/$role.img"; truncate -s 128M "$out/$role.img"
        args+=(-drive "if=none,id=$role,file=$out/$role.img,format=raw,cache=unsafe")
        if [ "$bus" = sata ]; then
            args+=(-device "ide-hd,bus=ahci.$n,drive=$role,serial=$serial,$props"); n=$((n + 1))
        else
            t=$((t + 1)); args+=(-device "scsi-hd,bus=vs.0,scsi-id=$t,lun=0,drive=$role,serial=$serial,$props")
        fi
    done <"$E2E_DIR/disks"
    rm -f "$out/console"
    # Once booted, a row takes 20 to 100 s under TCG on two busy cores.
    limit=${E2E_RUN_SECONDS:-$(( $(grep -c '^scenario' "$plan") * 180 + 240 ))}
    timeout "$limit" qemu-system-x86_64 -accel "$accel" -m 512 -smp 1 -nodefaults -no-reboot -display none \
        -kernel "$(e2e_kernel)" -initrd "$out/initrd-plan.gz" \
        -append "console=ttyS0 quiet panic=-1 loglevel=3" -serial "file:$out/console" \
        -D "$out/trace" $(printf -- '-trace %s ' $E2E_TRACE) "${args[@]}" "$@" &
    e2e_wait_boot $! "$out/console" "$accel"
}

# e2e_wait_boot PID CONSOLE ACCEL: waits for QEMU (PID) to end, with its
# status. A guest whose init has not spoken on CONSOLE by the boot deadline
# never started (a stuck accelerator, a kernel that hangs): QEMU is stopped
# then, rather than left to the limit meant for the scenarios.
E2E_BOOT_SECONDS_kvm=60
E2E_BOOT_SECONDS_tcg=120
e2e_wait_boot() {
    local pid=$1 console=$2 accel=$3 limit start=$SECONDS
    limit=E2E_BOOT_SECONDS_$accel; limit=${!limit}
    until grep -q '^@@ ' "$console" 2>/dev/null || ! kill -0 "$pid" 2>/dev/null; do
        if [ $((SECONDS - start)) -ge "$limit" ]; then
            kill "$pid"; wait "$pid" || true
            echo "guest did not boot: no word from its init in $limit s under $accel;" \
                "last console bytes: '$(tail -c 240 "$console" 2>/dev/null | tr -c '[:print:]' ' ')'" >&2
            return 1
        fi
        sleep 1
    done
    grep -q '^@@ ' "$console" && echo "e2e: the guest's init started after $((SECONDS - start)) s under $accel" >&2
    wait "$pid"
}

# e2e_plan SCENARIOS [NAME...]: prints the guest plan for the named rows (all
# rows without names).
e2e_plan() {
    local file=$1; shift
    awk -F'|' -v want=" $* " '!/^#/ && NF >= 3 {
        name = $1; gsub(/ /, "", name)
        if (want != "  " && index(want, " " name " ") == 0) next
        print "scenario " name; n = split($2, step, ";")
        for (i = 1; i <= n; i++) { gsub(/^ +| +$/, "", step[i]); print step[i] }
        print "run_daemon" }' "$file"
}

# e2e_records DIR: one record per line from the boot in DIR, per scenario:
#   scenario NAME | exit CODE | fail TEXT | uses ROLE TEXT | log LEVEL MESSAGE
#   report WHEN exit CODE | report WHEN ROLE DEV ACTION VERDICT | table WHEN LINE
#   disk ROLE DEV BUS WCE-BEFORE VIEW-BEFORE WCE-AFTER VIEW-AFTER ROTATIONAL CMDS
# CMDS lists the write-cache commands QEMU saw for the disk while the daemon
# ran: SCSI opcodes by name, and the ATA commands of AHCI FISes.
e2e_records() {
    awk '
    { sub(/\r$/, "") }
    FILENAME ~ /disks$/ { if ($0 ~ /^#/ || NF < 3) next
        if ($2 == "sata") port[na++] = $1; else target[++nt] = $1; bus[$1] = $2; next }
    FILENAME ~ /trace$/ {
        if ($1 == "scsi_req_parsed") {
            if ($9 == 160 && $13 == 1234) { marks++; next }
            if (marks % 2 == 0) next
            op = $9; nm = scsi[op]
            if (nm != "") cmds[(marks + 1) / 2, target[$3]] = cmds[(marks + 1) / 2, target[$3]] nm ","
        } else if ($1 == "handle_cmd_fis_dump") {
            match($2, /\[[0-9]+\]/); fisport = substr($2, RSTART + 1, RLENGTH - 2)
        } else if ($1 == "0x00:" && fisport != "" && marks % 2 == 1) {
            nm = ata[$4]; if ($4 == "ef") nm = nm "-" $5
            if (nm != "") cmds[(marks + 1) / 2, port[fisport]] = cmds[(marks + 1) / 2, port[fisport]] nm ","
            fisport = ""
        }
        next }
    $1 != "@@" { next }
    $2 == "scenario" { run++; print "scenario " $3; next }
    $2 == "daemon" { sub(/exit=/, "", $3); sub(/cycle=/, "", $4); sub(/s$/, "", $4); print "exit " $3 " " $4; next }
    $2 == "fail" || $2 == "uses" || $2 == "log" || $2 == "timing" || $2 == "raw" || $2 == "report" || $2 == "table" {
        sub(/^@@ /, ""); print; next }
    $2 == "state" && $3 == "before" { before[$4] = $6 " " $7; next }
    $2 == "state" && $3 == "after" { c = cmds[run, $4]; sub(/,$/, "", c)
        print "disk " $4 " " $5 " " bus[$4] " " before[$4] " " $6 " " $7 " " $8 " " (c == "" ? "-" : c) }
    BEGIN {
        split("26:MSENSE6 90:MSENSE10 21:MSEL6 85:MSEL10 133:ATA16 161:ATA12 53:SYNC10 145:SYNC16", a, " ")
        for (i in a) { split(a[i], kv, ":"); scsi[kv[1]] = kv[2] }
        ata["ef"] = "SETFEATURES"; ata["e7"] = "FLUSH"; ata["ea"] = "FLUSHEXT"
    }' "$E2E_DIR/disks" "$1/trace" "$1/console"
}

# e2e_judge SCENARIOS RECORDS [NAME...]: checks every disk of every scenario
# in RECORDS against its row of SCENARIOS (all rows without names); prints a
# line per row and fails if any row failed or never ran.
e2e_judge() {
    local scenarios=$1 records=$2; shift 2
    awk -F'|' -v only=" $* " 'FNR == NR { if ($0 !~ /^#/ && NF >= 3) { name = $1; gsub(/ /, "", name)
            n = split($3, oo, " "); for (i = 1; i <= n; i++) { split(oo[i], kv, "="); want[name, kv[1]] = kv[2] }
            if (only == "  " || index(only, " " name " ")) listed[name] = 1 }
        next }
    function mentions(msg, dev) { return msg ~ ("(^|[^a-z0-9])" dev "([^a-z0-9]|$)") }
    function judge(   i, d, f, o, got, wanted, named, errs) {
        if (sc == "") return
        errs = ""
        if (ex != "0") errs = errs " | daemon exit " (ex == "" ? "missing" : ex)
        if (fails != "") errs = errs " | setup:" fails
        if (logs[1] != "INFO ceph zarvel start" || logs[nl] != "INFO ceph zarvel stop") errs = errs " | log not framed by start/stop"
        for (i = 1; i <= nd; i++) {
            split(disks[i], f, " "); d = f[3]; o = want[sc, f[2]]; if (o == "") o = "untouched"
            got = ""; for (j = 2; j < nl; j++) if (mentions(logs[j], d)) { got = got logs[j] "; "; named[j] = 1 }
            if (o == "untouched") wanted = f[5] " " f[6] " " f[5] " " f[6] " -"
            if (o == "checked") wanted = "0 write-through 0 write-through"
            if (o == "switched") wanted = "1 " (f[6] == "write-through" ? f[6] : "write-back") " 0 write-through"
            if (o == "rescanned") wanted = "0 write-back 0 write-through"
            state = f[5] " " f[6] " " f[7] " " f[8] (o == "untouched" ? " " f[10] : "")
            if (state != wanted) errs = errs " | " f[2] " " o ": WCE/view/cmds " state
            if (o == "checked" && f[10] !~ /^(-|MSENSE(6|10)(,MSENSE(6|10))*)$/) errs = errs " | " f[2] " checked: commands " f[10]
            wanted = o == "switched" ? "INFO change config of " d " succeed; INFO rescan dev " d " return 0; INFO sync device " d " return 0; " : \
                  o == "rescanned" ? "INFO rescan dev " d " return 0; " : ""
            if (got != wanted) errs = errs " | " f[2] " " o ": log \"" got "\""
            # The report, run just before, foretold exactly this; after it, nothing is left to do.
            wanted = o == "switched" ? "switch" : o == "rescanned" ? "rescan" : "none"
            if (act["before", f[2]] != wanted || act["after", f[2]] != "none")
                errs = errs " | " f[2] " report said " act["before", f[2]] " before, " act["after", f[2]] " after"
            printf "    %-10s %-4s %-5s %-9s WCE %s -> %s  kernel %s -> %s  commands %s\n", f[2], d, f[4], o, f[5], f[7], f[6], f[8], f[10]
        }
        # unanswered=N: N devices that cannot or do not answer, one line each.
        nu = 0; for (j = 2; j < nl; j++) if (logs[j] ~ /^WARNING device does not answer:/) { nu++; named[j] = 1 }
        if (nu != want[sc, "unanswered"] + 0) errs = errs " | " nu " unanswered label reads logged"
        if (want[sc, "cycle"] != "" && cyc + 0 > want[sc, "cycle"] + 0) errs = errs " | cycle took " cyc " s"
        for (j = 2; j < nl; j++) if (!named[j]) errs = errs " | unexpected log: " logs[j]
        if (rx["after"] != "0") errs = errs " | report exit " rx["after"] " after the cycle"
        if (errs == "") { pass++; print "ok   " sc } else { failed++; print "FAIL " sc errs }
        delete listed[sc]
    }
    { split($0, f, " ") }
    f[1] == "scenario" { judge(); sc = f[2]; ex = ""; fails = ""; nd = 0; nl = 0; delete logs; delete act; delete rx; next }
    f[1] == "report" && f[3] == "exit" { rx[f[2]] = f[4]; next }
    f[1] == "report" { act[f[2], f[3]] = f[5] }
    f[1] == "exit" { ex = f[2]; cyc = f[3] }
    f[1] == "fail" { fails = fails " " substr($0, 6) }
    f[1] == "disk" { disks[++nd] = $0 }
    f[1] == "log" { logs[++nl] = substr($0, 5) }
    END { judge(); for (s in listed) { failed++; print "FAIL " s " | never ran" }
          printf "e2e: %d passed, %d failed\n", pass, failed; exit failed > 0 }
    ' "$scenarios" "$records"
}
