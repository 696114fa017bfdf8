# Boots Debian's own kernel under QEMU with the node of tests/e2e/disks and a
# small initramfs holding busybox, lvm2, sdparm, sg3-utils, hdparm and the
# daemon; the guest runs a plan (tests/e2e/guest/init) and powers off.
# Source it after scripts/lib/common.sh.

E2E_DIR="$ZARVEL_ROOT/tests/e2e"
E2E_MODULES="ahci sd_mod virtio_scsi virtio_pci dm_mod"
E2E_TOOLS="/usr/sbin/lvm /usr/bin/sdparm /usr/bin/sg_vpd /usr/bin/sg_luns /usr/bin/sg_modes /usr/bin/sg_inq /usr/sbin/hdparm"
E2E_TRACE="scsi_req_parsed handle_cmd_fis_dump"

e2e_need_packages() {
    need_packages qemu-system-x86 linux-image-amd64 busybox-static lvm2 sdparm sg3-utils hdparm cpio kmod
}

e2e_kernel() { ls /boot/vmlinuz-* | sort -V | tail -n 1; }

# e2e_initramfs DIR: builds DIR/initrd.gz around build/ceph-zarvel.
e2e_initramfs() {
    local out=$1 root=$1/root kver bin lib
    kver=$(basename "$(e2e_kernel)"); kver=${kver#vmlinuz-}
    rm -rf "$root"; mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,etc/lvm,e2e,proc,sys,dev,run,var}
    cp /bin/busybox "$root/bin/busybox"; ln -s busybox "$root/bin/sh"
    cp "$E2E_DIR/guest/init" "$root/init"
    cp "$ZARVEL_ROOT/build/ceph-zarvel" "$root/usr/bin/"
    for bin in $E2E_TOOLS "$ZARVEL_ROOT/build/ceph-zarvel"; do
        [ "$bin" = "$ZARVEL_ROOT/build/ceph-zarvel" ] || cp "$bin" "$root$bin"
        for lib in $(ldd "$bin" | grep -o '/[^ ]*'); do cp -nL --parents "$lib" "$root"; done
    done
    for bin in pvs pvcreate pvremove pvscan vgs vgcreate vgremove lvcreate lvs; do ln -s lvm "$root/usr/sbin/$bin"; done
    # No udev in the guest: LVM makes its own /dev nodes and links.
    printf '%s\n' 'activation {' ' udev_sync = 0' ' udev_rules = 0' '}' \
        'devices {' ' obtain_device_list_from_udev = 0' '}' \
        'global {' ' use_lvmlockd = 0' ' event_activation = 0' '}' >"$root/etc/lvm/lvm.conf"
    for mod in $E2E_MODULES; do modprobe -S "$kver" --show-depends "$mod"; done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' |
        while read -r mod; do cp --parents "$mod" "$root"; echo "$mod"; done >"$root/e2e/modules"
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initrd.gz"
}

# e2e_boot DIR PLAN: boots the node with a fresh set of disks and runs the
# guest commands in file PLAN. Leaves DIR/console (serial output) and
# DIR/trace (QEMU's trace of SCSI commands and AHCI FISes).
e2e_boot() {
    local out=$1 plan=$2 accel=tcg role bus serial props n=0 t=0 args=()
    [ -w /dev/kvm ] && accel=kvm
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
    timeout 900 qemu-system-x86_64 -accel "$accel" -m 512 -smp 1 -nodefaults -no-reboot -display none \
        -kernel "$(e2e_kernel)" -initrd "$out/initrd-plan.gz" \
        -append "console=ttyS0 quiet panic=-1 loglevel=3" -serial "file:$out/console" \
        -D "$out/trace" $(printf -- '-trace %s ' $E2E_TRACE) "${args[@]}"
}
