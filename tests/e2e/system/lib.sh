# The system guest: the node of tests/e2e/disks booting a Debian 12 root file
# system with systemd as PID 1 and udev, where the package is installed and
# run as an operator would. Source it after tests/e2e/lib.sh.

SYS_DIR="$E2E_DIR/system"
SYS_MODULES="virtio_pci virtio_blk ext4 $E2E_MODULES"
# Units that would wait for a console, reach for the network or take apt's
# lock in the middle of a test.
SYS_MASKED="serial-getty@ttyS0.service getty@tty1.service systemd-firstboot.service
    apt-daily.timer apt-daily-upgrade.timer man-db.timer dpkg-db-backup.timer e2scrub_all.timer fstrim.timer"

sys_need_packages() {
    need_packages mmdebstrap e2fsprogs
}

# sys_image OUT: prints the root image, built with mmdebstrap from this
# machine's Debian sources and cached under OUT until the package list or
# this recipe changes.
sys_image() {
    local out=$1 key img unit
    key=$({ grep -v '^#' "$SYS_DIR/packages"; declare -f sys_image; echo "$SYS_MASKED"; } | sha256sum | cut -c1-12)
    img=$out/root-$key.img
    if [ ! -s "$img" ]; then
        rm -rf "$out/tree" "$out"/root-*.img; mkdir -p "$out"
        mmdebstrap --quiet --variant=apt --include="$(grep -v '^#' "$SYS_DIR/packages" | paste -sd,)" \
            --customize-hook='echo 5a5b3c0e9f7d4d6a8e2b1c0d9e8f7a6b >"$1/etc/machine-id"; echo zvnode >"$1/etc/hostname"' \
            bookworm "$out/tree" /etc/apt/sources.list.d/debian.sources >&2 || return 1
        for unit in $SYS_MASKED; do ln -sf /dev/null "$out/tree/etc/systemd/system/$unit"; done
        mke2fs -q -t ext4 -L zvroot -d "$out/tree" "$img.tmp" 1G >&2 && mv "$img.tmp" "$img" || return 1
        rm -rf "$out/tree"
    fi
    echo "$img"
}

# sys_initramfs OUT DEB...: builds OUT/initrd.gz, a busybox initramfs that
# loads the modules, mounts the root disk and adds this run's files to it
# (the e2e guest's steps, the system guest, the packages, the modules with
# their index) before systemd takes over. Each DEB lands in /e2e/debs/N/.
sys_initramfs() {
    local out=$1 root=$1/root kver mod n=0 deb; shift
    kver=$(basename "$(e2e_kernel)"); kver=${kver#vmlinuz-}
    rm -rf "$root"; mkdir -p "$root"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,root,e2e/debs} "$root/lib/modules/$kver" "$root/etc/systemd/system"
    cp /bin/busybox "$root/bin/busybox"; ln -s busybox "$root/bin/sh"
    cp "$SYS_DIR/boot" "$root/init"
    cp "$E2E_DIR/guest/init" "$SYS_DIR/guest" "$ZARVEL_ROOT/packaging/check-installed.sh" "$root/e2e/"
    cp "$SYS_DIR"/zarvel-e2e.* "$root/etc/systemd/system/"
    for deb in "$@"; do n=$((n + 1)); mkdir "$root/e2e/debs/$n"; cp "$deb" "$root/e2e/debs/$n/"; done
    cp /lib/modules/"$kver"/modules.{order,builtin,builtin.modinfo} "$root/lib/modules/$kver/"
    for mod in $SYS_MODULES; do modprobe -S "$kver" --show-depends "$mod"; done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }' |
        while read -r mod; do cp --parents "$mod" "$root"; echo "$mod"; done >"$root/modules"
    depmod -b "$root" "$kver"
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initrd.gz"
}

# sys_boot OUT IMAGE PLAN: boots the node from IMAGE (changes go to a
# throw-away snapshot) and runs PLAN in the system guest; leaves what
# e2e_boot leaves.
sys_boot() {
    E2E_RUN_SECONDS=1800 e2e_boot "$1" "$3" -m 1024 -smp 2 -drive "if=virtio,file=$2,format=raw,snapshot=on" \
        -append "console=ttyS0 quiet panic=-1 loglevel=3 systemd.unit=zarvel-e2e.target systemd.show_status=error"
}
