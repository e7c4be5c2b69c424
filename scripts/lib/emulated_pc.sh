# The emulated 32-bit PC: the i386 system (lib/i386_system.sh) booted in
# QEMU's i386 PC under software emulation, for machines whose kernel runs no
# 32-bit programs, or where bwrap cannot make its namespaces.
#
# The system's own kernel, a small initramfs of ours, the tree as the root
# over virtio-9p (read-only but for the first run), and one more 9p folder,
# the job's, through which files go in and the exit status and out/ come
# back (scripts/guest goes in with them, to /plovane/guest). The console is
# the caller's output. The PC powers off when the job ends; QEMU stays in the caller's process group, so a Ctrl-C or a
# supervisor's signal reaches it.

# The system's init: prepares the system, copies the job folder into memory
# and runs the job's command there, sends back out/ and the status, powers
# off. Programs must not be mapped from a 9p folder without a cache: their
# pages come back wrong. Hence the copy, here where the 9p folder is made.
sys32_pc_init() {
    cat <<'EOF_INIT'
#!/bin/bash
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/tmp/home LANG=C.UTF-8
mount() { /bin/busybox mount "$@"; }
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
ln -sf /proc/self/fd /dev/fd
mount -t devpts devpts /dev/pts
mount -t tmpfs -o size=1800m tmpfs /tmp
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t tmpfs tmpfs /var/tmp
mount -t tmpfs tmpfs /var/lib/xkb
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 job /mnt/job
mount -t tmpfs -o size=512m tmpfs /job
cp -a /mnt/job/. /job/
mount -o bind /job/.guest /plovane/guest
hostname plovane-pc 2>/dev/null
mkdir -p /tmp/home
status=255
if [ -f /job/.command ]; then
    (cd /job && /bin/bash -c "$(cat /job/.command)") </dev/null >/dev/console 2>&1
    status=$?
fi
[ -d /job/out ] && mkdir -p /mnt/job/out && cp -a /job/out/. /mnt/job/out/
# The console sends at 115200 baud: its last lines need a moment.
sleep 1
echo "$status" >/mnt/job/.status.part && mv /mnt/job/.status.part /mnt/job/.status
sync
/bin/busybox umount -l /mnt/job
echo 0 >/proc/sys/kernel/printk
/bin/busybox poweroff -f
sleep 10
EOF_INIT
}

# A small initramfs: static busybox, the modules for the 9p root, and an
# init that mounts the tree and switches to it.
sys32_pc_initramfs() {
    local dir="$1" out="$2"
    local work kernel_version module
    work=$(mktemp -d)
    kernel_version=$(basename "$(find "$dir"/lib/modules -mindepth 1 -maxdepth 1 -name '*-686' | sort | head -1)")
    mkdir -p "$work/bin" "$work/modules" "$work/root" "$work/proc" "$work/dev"
    cp "$dir/bin/busybox" "$work/bin/busybox"
    for module in virtio virtio_ring virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci \
        netfs fscache 9pnet 9pnet_virtio 9p; do
        find "$dir/lib/modules/$kernel_version/kernel" -name "$module.ko*" -exec cp {} "$work/modules/" \;
        echo "$module" >>"$work/modules/order"
    done
    cat >"$work/init" <<'EOF_INITRAMFS'
#!/bin/busybox sh
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t devtmpfs dev /dev
for module in $(/bin/busybox cat /modules/order); do
    /bin/busybox insmod /modules/$module.ko || echo "initramfs: $module did not load"
done
/bin/busybox mount -t 9p -o trans=virtio,version=9p2000.L,cache=loose,msize=262144 root /root ||
    { echo "initramfs: the root did not mount"; /bin/busybox poweroff -f; }
/bin/busybox umount /proc /dev
exec /bin/busybox switch_root /root /sbin/plovane-init
EOF_INITRAMFS
    chmod 755 "$work/init"
    (cd "$work" && find . | sort | cpio --quiet -o -H newc | gzip -1) >"$out"
    rm -rf "$work"
}

# pc_enter JOB_DIR LIMIT_S COMMAND...: boots the PC and runs COMMAND in it,
# in a copy of JOB_DIR at /job, for at most LIMIT_S seconds. Returns its
# status (124 when the limit ended the PC, 125 when the PC failed).
pc_enter() {
    local job="$1" limit="$2"
    shift 2
    rm -rf "$job/.status" "$job/.guest"
    printf '%q ' "$@" >"$job/.command"
    cp -r "$ROOT/scripts/guest" "$job/.guest"
    # Software emulation: KVM, where a machine here offers it at all, has
    # failed to start an i386 guest. With the full CPU model's SMAP and SMEP
    # the 32-bit kernel oops at an iret as soon as Wine runs.
    local readonly_root=",readonly=on"
    [ -n "${SYS32_WRITABLE:-}" ] && readonly_root=""
    timeout --foreground --kill-after=5 "$limit" qemu-system-i386 -accel tcg,thread=multi \
        -cpu max,smap=off,smep=off -machine pc -smp 2 -m 2560 \
        -display none -nodefaults -monitor none -serial stdio -no-reboot -net none \
        -kernel "$SYS32_DIR/vmlinuz" -initrd "$SYS32_DIR/initrd.img" \
        -append "console=ttyS0 quiet loglevel=1 panic=-1" \
        -fsdev local,id=root,path="$SYS32_DIR/root",security_model=none$readonly_root \
        -device virtio-9p-pci,fsdev=root,mount_tag=root \
        -fsdev local,id=job,path="$job",security_model=none \
        -device virtio-9p-pci,fsdev=job,mount_tag=job \
        </dev/null | stdbuf -oL tr -d '\r'
    local qemu_status="${PIPESTATUS[0]}" status=125
    [ -f "$job/.status" ] && status=$(cat "$job/.status")
    rm -rf "$job/.command" "$job/.status" "$job/.guest"
    if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
        echo "emulated PC: ended after its limit of $limit s" >&2
        return 124
    fi
    [ "$status" -eq 125 ] && echo "emulated PC: no exit status came back (QEMU status $qemu_status)" >&2
    return "$status"
}
