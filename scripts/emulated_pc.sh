# An emulated 32-bit PC that runs 32-bit Windows programs under 32-bit Wine,
# for machines whose kernel runs no 32-bit programs (and so no 32-bit Wine).
#
# It is QEMU's i386 PC booting a Debian i386 system unpacked from the
# packages this machine's apt reaches: the system's own kernel, a small
# initramfs of ours, the unpacked tree as the root over virtio-9p, and one
# more 9p folder, the job, through which a program and its files go in and
# its exit status comes out. Its console is the caller's output. The PC
# powers off when the job ends; no process of it outlives the call.
#
# Sourced by the project's commands (after common.sh). Everything lives in
# build/emulated-pc: assembled once, reused, and assembled again when the
# recipe below changes. Only a finished assembly is marked ready.
#
#   epc_ensure                       assemble the PC unless it is ready
#   epc_run JOB_DIR LIMIT_S SCRIPT   run SCRIPT (a file in JOB_DIR) in the PC
#                                    with Wine ready; its exit status

EPC_DIR="$ROOT/build/emulated-pc"
EPC_PACKAGES=(
    wine wine32 libwine xvfb xauth           # what runs the programs
    linux-image-686 busybox-static           # what boots
    bash coreutils findutils grep sed mawk tar gzip procps util-linux libc-bin
)

# --- The recipe: the host's tools, the unpacked system and its boot files.

epc_host_tools() {
    ensure_packages qemu-system-x86 mmdebstrap arch-test cpio
}

# The machine's own Debian sources, without the security suite: its i386
# index has been seen out of sync with its release file, which fails the
# whole run, and this PC only runs tests.
epc_sources() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk 'BEGIN { RS = ""; ORS = "\n\n" } /URIs:[^\n]*debian/ && !/Suites:[^\n]*-security/' "$file"
    done
    if [ -f /etc/apt/sources.list ]; then
        grep -E '^deb .*debian' /etc/apt/sources.list | grep -v -- '-security' || true
    fi
}

# The Debian release the machine runs (bookworm).
epc_suite() {
    . /etc/os-release
    echo "${VERSION_CODENAME:-bookworm}"
}

# Unpacks the i386 system into DIR without running any package script.
epc_unpack() {
    local dir="$1" sources="$2"
    local list
    list=$(IFS=,; echo "${EPC_PACKAGES[*]}")
    mmdebstrap --quiet --architectures=i386 --variant=extract --include="$list" \
        "$(epc_suite)" "$dir" "$sources"
}

# What the skipped package scripts would have done and the PC needs.
epc_fix_tree() {
    local dir="$1"
    # libwine's script: Wine's builtin zlib1.dll is MinGW's, marked as
    # builtin in the 32 bytes at offset 64 (without it user32 fails to load).
    local zlib="$dir/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll"
    cp "$dir/usr/i686-w64-mingw32/lib/zlib1.dll" "$zlib"
    printf 'Wine builtin DLL\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0' |
        dd of="$zlib" bs=1 seek=64 count=32 conv=notrunc status=none
    # Alternatives links, and a shell for /bin/sh (dash is not unpacked).
    ln -sf bash "$dir/bin/sh"
    ln -sf mawk "$dir/usr/bin/awk"
    ln -sf /usr/lib/wine/wine "$dir/usr/bin/wine"
    ln -sf /usr/lib/wine/wineserver "$dir/usr/bin/wineserver"
    mkdir -p "$dir/job" "$dir/tmp" "$dir/proc" "$dir/sys" "$dir/dev"
    epc_guest_init >"$dir/sbin/plovane-init"
    chmod 755 "$dir/sbin/plovane-init"
}

# The system's init: prepares the system, runs the job's script with its
# output on the console, leaves the status in the job folder, powers off.
epc_guest_init() {
    cat <<'EOF'
#!/bin/bash
export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/tmp/home LANG=C.UTF-8
mount() { /bin/busybox mount "$@"; }
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs -o size=1800m tmpfs /tmp
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /run
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 job /job
mount -t tmpfs tmpfs /var/tmp
mount -t tmpfs tmpfs /var/lib/xkb 2>/dev/null
hostname plovane-pc 2>/dev/null
mkdir -p /tmp/home
status=255
if [ -f /job/script ]; then
    (cd /tmp && /bin/bash /job/script) </dev/null >/dev/console 2>&1
    status=$?
fi
echo "$status" >/job/status.part && mv /job/status.part /job/status
sync
/bin/busybox umount -l /job
echo 0 >/proc/sys/kernel/printk
/bin/busybox poweroff -f
sleep 10
EOF
}

# A small initramfs: static busybox, the modules for the 9p root, and an
# init that mounts the tree and switches to it.
epc_initramfs() {
    local dir="$1" out="$2"
    local work kernel_version module
    work=$(mktemp -d)
    kernel_version=$(basename "$(ls -d "$dir"/lib/modules/*-686 | head -1)")
    mkdir -p "$work/bin" "$work/modules" "$work/root" "$work/proc" "$work/dev"
    cp "$dir/bin/busybox" "$work/bin/busybox"
    for module in virtio virtio_ring virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci \
        netfs fscache 9pnet 9pnet_virtio 9p; do
        find "$dir/lib/modules/$kernel_version/kernel" -name "$module.ko*" -exec cp {} "$work/modules/" \;
        echo "$module" >>"$work/modules/order"
    done
    cat >"$work/init" <<'EOF'
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
EOF
    chmod 755 "$work/init"
    (cd "$work" && find . | sort | cpio --quiet -o -H newc | gzip -1) >"$out"
    rm -rf "$work"
}

# The recipe's fingerprint: the functions above and the package list. A
# change to any of them assembles the PC anew.
epc_recipe() {
    {
        declare -f epc_sources epc_suite epc_unpack epc_fix_tree epc_guest_init epc_initramfs epc_make_prefix
        echo "${EPC_PACKAGES[*]}"
        epc_sources
    } | sha256sum | cut -d' ' -f1
}

# Assembles into a fresh folder and moves it into place only when complete,
# so an interrupted assembly leaves nothing a later run takes for ready.
epc_assemble() {
    local next="$EPC_DIR.next"
    rm -rf "$next"
    mkdir -p "$next"
    epc_sources >"$next/sources"
    if [ ! -s "$next/sources" ]; then
        echo "emulated PC: no Debian source in /etc/apt/sources.list.d or /etc/apt/sources.list" >&2
        return 1
    fi
    echo "== emulated PC: unpacking a Debian i386 system (about 1.3 GB, the first time only)"
    epc_unpack "$next/root" "$next/sources" || return 1
    epc_fix_tree "$next/root"
    epc_initramfs "$next/root" "$next/initrd.img"
    cp "$(ls "$next"/root/boot/vmlinuz-*-686 | head -1)" "$next/vmlinuz"
    echo "== emulated PC: making its Wine prefix (once)"
    epc_make_prefix "$next" || return 1
    epc_recipe >"$next/ready"
    rm -rf "$EPC_DIR"
    mv "$next" "$EPC_DIR"
}

# A 32-bit Wine prefix, made in the PC and kept as a tar that each run
# restores into the PC's memory.
epc_make_prefix() {
    local pc="$1" job
    job=$(mktemp -d)
    cat >"$job/script" <<'EOF'
ldconfig
export WINEPREFIX=/tmp/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot -i >/dev/null 2>&1 && wineserver -w && tar -C /tmp -cf /job/prefix.tar prefix
EOF
    local status=0
    # The only boot with a writable root: ldconfig writes its cache.
    EPC_DIR="$pc" EPC_ROOT_MODE=rw epc_boot "$job" 600 || status=$?
    if [ "$status" -eq 0 ] && [ -s "$job/prefix.tar" ]; then
        mkdir -p "$pc/root/plovane"
        mv "$job/prefix.tar" "$pc/root/plovane/prefix.tar"
    else
        echo "emulated PC: making the Wine prefix failed (status $status)" >&2
        status=1
    fi
    rm -rf "$job"
    return "$status"
}

epc_ready() {
    [ -f "$EPC_DIR/ready" ] && [ "$(cat "$EPC_DIR/ready")" = "$(epc_recipe)" ]
}

# Assembles the PC unless it is ready; one retry (a package index being
# synced, a download cut), then a clear failure.
epc_ensure() {
    epc_host_tools
    epc_ready && return 0
    local attempt
    for attempt in 1 2; do
        if epc_assemble; then return 0; fi
        rm -rf "$EPC_DIR.next"
        echo "== emulated PC: assembly attempt $attempt failed" >&2
    done
    echo "emulated PC: could not be assembled from this machine's Debian sources" >&2
    echo "  (mmdebstrap of i386 packages failed twice: see its messages above;" >&2
    echo "   an archive being synced or unreachable is the usual cause)" >&2
    return 1
}

# --- Running.

# Boots the PC with JOB_DIR as its job folder, for at most LIMIT_S seconds.
# JOB_DIR/script runs as root with JOB_DIR as its working folder; the
# console's output comes here. Returns the script's exit status (124 when
# the limit ended the PC, 125 when the PC failed).
epc_boot() {
    local job="$1" limit="$2"
    rm -f "$job/status"
    # Software emulation: KVM, where a machine here offers it at all, has
    # failed to start an i386 guest. With the full CPU model's SMAP and SMEP
    # the 32-bit kernel oops at an iret as soon as Wine runs.
    timeout --kill-after=5 "$limit" qemu-system-i386 -accel tcg,thread=multi \
        -cpu max,smap=off,smep=off -machine pc -smp 2 -m 2560 \
        -display none -nodefaults -monitor none -serial stdio -no-reboot -net none \
        -kernel "$EPC_DIR/vmlinuz" -initrd "$EPC_DIR/initrd.img" \
        -append "console=ttyS0 quiet loglevel=1 panic=-1" \
        -fsdev local,id=root,path="$EPC_DIR/root",security_model=none$([ "${EPC_ROOT_MODE:-ro}" = rw ] || echo ,readonly=on) \
        -device virtio-9p-pci,fsdev=root,mount_tag=root \
        -fsdev local,id=job,path="$job",security_model=none \
        -device virtio-9p-pci,fsdev=job,mount_tag=job \
        </dev/null | stdbuf -oL tr -d '\r'
    local qemu_status="${PIPESTATUS[0]}"
    if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
        echo "emulated PC: ended after its limit of $limit s" >&2
        return 124
    fi
    if [ ! -f "$job/status" ]; then
        echo "emulated PC: no exit status came back (QEMU status $qemu_status)" >&2
        return 125
    fi
    return "$(cat "$job/status")"
}

# Runs JOB_DIR/SCRIPT in the PC, for at most LIMIT_S seconds, with the
# Wine prefix restored into memory, a virtual display and a persistent Wine
# server, as the native commands have them. Programs must be copied out of
# JOB_DIR (a 9p folder) before Wine runs them: images mapped from 9p
# without a cache come back wrong. Returns the script's exit status.
epc_run() {
    local job="$1" limit="$2" script="$3"
    cat >"$job/script" <<EOF
export WINEPREFIX=/tmp/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
tar -C /tmp -xf /plovane/prefix.tar
Xvfb :1 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
export DISPLAY=:1
for i in \$(seq 1 100); do [ -e /tmp/.X11-unix/X1 ] && break; sleep 0.1; done
wineserver -p
wine wineboot >/dev/null 2>&1
# Through a pipe: on a terminal (the console) Wine's console would draw
# with escape sequences.
set -o pipefail
bash /job/$script 2>&1 | cat
status=\$?
wineserver -k
# The console sends at 115200 baud: its last lines need a moment before the
# PC powers off.
sleep 1
exit \$status
EOF
    epc_boot "$job" "$limit"
}
