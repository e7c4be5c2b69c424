# The project's Debian i386 system: 32-bit Wine 8, Xvfb and the tools the
# jobs use, unpacked from the packages this machine's own apt sources reach
# (no prebuilt image, no other download). Every 32-bit Windows program of
# the project runs in it, entered natively (lib/run32.sh) or booted in the
# emulated PC (lib/emulated_pc.sh).
#
# It lives in build/i386-system: root/ (the tree, read-only once made, with
# the Wine prefix as a tar in root/plovane), vmlinuz and initrd.img (the
# emulated PC's boot files) and ready (the recipe's fingerprint). Assembled
# once into a folder of its own and moved into place only when complete, so
# an interrupted assembly leaves nothing a later run takes for ready; a
# changed recipe assembles it again.
#
#   sys32_ensure      assemble unless ready (needs RUN32 chosen: the tree's
#                     first run, ldconfig and the Wine prefix, goes the same
#                     way in as every later one)

SYS32_DIR="$ROOT/build/i386-system"
SYS32_PACKAGES=(
    wine wine32 libwine xvfb xauth           # what runs the programs
    linux-image-686 busybox-static           # what boots the emulated PC
    bash coreutils findutils grep sed mawk tar gzip procps util-linux libc-bin
)

# The machine's own Debian sources, without the security suite: its i386
# index has been seen out of sync with its release file, which fails the
# whole run, and this system only runs tests.
sys32_sources() {
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
sys32_suite() {
    . /etc/os-release
    echo "${VERSION_CODENAME:-bookworm}"
}

# Unpacks the system into DIR without running any package script.
sys32_unpack() {
    local dir="$1" sources="$2"
    local list
    list=$(IFS=,; echo "${SYS32_PACKAGES[*]}")
    mmdebstrap --quiet --architectures=i386 --variant=extract --include="$list" \
        "$(sys32_suite)" "$dir" "$sources"
}

# What the skipped package scripts would have done and the jobs need.
sys32_fix_tree() {
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
    # Mount points: the tree is read-only when entered.
    mkdir -p "$dir/job" "$dir/tmp" "$dir/proc" "$dir/sys" "$dir/dev" "$dir/run" \
        "$dir/var/tmp" "$dir/var/lib/xkb" "$dir/mnt/job" "$dir/plovane/guest"
    sys32_pc_init >"$dir/sbin/plovane-init"
    chmod 755 "$dir/sbin/plovane-init"
}

# The tree's first run, with the root writable: the loader's cache (the
# i386 libraries live in a multiarch folder only the cache names) and a
# 32-bit Wine prefix, kept as a tar that every run restores into memory.
sys32_first_run() {
    cat <<'EOF_JOB'
ldconfig
source /plovane/guest/wine_env.sh
wine wineboot -i >/dev/null 2>&1 && wineserver -w &&
    tar -C /tmp -cf /plovane/prefix.tar prefix
EOF_JOB
}

# The recipe's fingerprint: the functions above, the emulated PC's boot
# files and the package list. A change to any of them assembles anew.
sys32_recipe() {
    {
        cat "$ROOT/scripts/guest/wine_env.sh"
        declare -f sys32_sources sys32_suite sys32_unpack sys32_fix_tree sys32_first_run \
            sys32_pc_init sys32_pc_initramfs
        echo "${SYS32_PACKAGES[*]}"
        sys32_sources
    } | sha256sum | cut -d' ' -f1
}

sys32_ready() {
    [ -f "$SYS32_DIR/ready" ] && [ "$(cat "$SYS32_DIR/ready")" = "$(sys32_recipe)" ]
}

sys32_assemble() {
    local next="$SYS32_DIR.next"
    rm -rf "$next"
    mkdir -p "$next"
    sys32_sources >"$next/sources"
    if [ ! -s "$next/sources" ]; then
        echo "i386 system: no Debian source in /etc/apt/sources.list.d or /etc/apt/sources.list" >&2
        return 1
    fi
    echo "== i386 system: unpacking Debian i386 with 32-bit Wine (about 1.3 GB, the first time only)"
    sys32_unpack "$next/root" "$next/sources" || return 1
    sys32_fix_tree "$next/root"
    sys32_pc_initramfs "$next/root" "$next/initrd.img"
    cp "$(find "$next"/root/boot -maxdepth 1 -name 'vmlinuz-*-686' | sort | head -1)" "$next/vmlinuz"
    echo "== i386 system: its loader cache and Wine prefix ($RUN32, once)"
    local job status=0
    job=$(mktemp -d)
    sys32_first_run >"$job/first_run.sh"
    SYS32_DIR="$next" SYS32_WRITABLE=1 run32_enter "$job" 900 bash /job/first_run.sh || status=$?
    rm -rf "$job"
    if [ "$status" -ne 0 ] || [ ! -s "$next/root/plovane/prefix.tar" ]; then
        echo "i386 system: its first run failed (status $status)" >&2
        return 1
    fi
    sys32_recipe >"$next/ready"
    rm -rf "$SYS32_DIR"
    mv "$next" "$SYS32_DIR"
}

# One retry (an index being synced, a download cut), then a clear failure.
sys32_ensure() {
    ensure_packages mmdebstrap arch-test cpio
    sys32_ready && return 0
    local attempt
    for attempt in 1 2; do
        if sys32_assemble; then return 0; fi
        rm -rf "$SYS32_DIR.next"
        echo "== i386 system: assembly attempt $attempt failed" >&2
    done
    echo "i386 system: could not be assembled from this machine's Debian sources" >&2
    echo "  (see mmdebstrap's messages above; an archive being synced or unreachable is the usual cause)" >&2
    return 1
}
