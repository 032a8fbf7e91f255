#!/usr/bin/env bash
# The guest of scripts/test-vm.sh: Debian's kernel and its USB serial modules, and an
# initramfs made at run time around quillon-cli.
#
#   scripts/vm-image.sh BUILD_DIR OUT_DIR
#
# leaves OUT_DIR/kernel (the kernel to boot) and OUT_DIR/initramfs.cpio, with the firmware
# files OUT_DIR/Master_vm.mot and Master_vm.bin (the image the .mot converts to).
#
# The kernel comes from the package that linux-image-amd64 depends on, fetched with
# `apt-get download` and unpacked into ${XDG_CACHE_HOME:-~/.cache}/quillon/vm/, not installed:
# an installed kernel would land in this machine's /boot and run its boot hooks (initramfs,
# boot loader), and nothing of it is needed but the image and a few modules. Only those are
# kept (about 90 MB), and later runs reuse them. The image is unpacked to the plain ELF kernel,
# which QEMU starts directly (PVH): under software emulation the kernel's own decompression
# takes longer than the rest of the boot.
set -euo pipefail

build=$(realpath "${1:?usage: vm-image.sh BUILD_DIR OUT_DIR}")
out=$(realpath "${2:?usage: vm-image.sh BUILD_DIR OUT_DIR}")
cache=${XDG_CACHE_HOME:-$HOME/.cache}/quillon/vm
# The host controller's and the adapter's drivers, each after what it needs.
wanted_modules=(xhci-pci ftdi_sio)

fail() {
    echo "vm-image: $*" >&2
    exit 1
}

SUDO=""
[[ $(id -u) -ne 0 ]] && SUDO="sudo"

# linux-image-<version>-amd64, as the metapackage names it today.
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1
}

# The plain kernel inside a compressed bzImage: the first stream that unpacks to an ELF file.
unpack_kernel() {
    local image=$1 target=$2 offset
    for magic in '\xfd7zXZ\x00:xz' '\x28\xb5\x2f\xfd:zstd' '\x1f\x8b\x08:gzip'; do
        for offset in $(LC_ALL=C grep -obUaP "${magic%:*}" "$image" | cut -d: -f1); do
            tail -c +$((offset + 1)) "$image" | "${magic#*:}" -dc >"$target" 2>/dev/null || true
            if [[ $(head -c 4 "$target" | od -An -tx1 | tr -d ' ') == 7f454c46 ]]; then
                return 0
            fi
        done
    done
    return 1
}

fetch_tmp=""
trap '[[ -z $fetch_tmp ]] || rm -rf "$fetch_tmp"' EXIT
fetch_kernel() {
    local package=$1 dir=$cache/$1 tmp deb
    tmp=$(mktemp -d "${cache}/.fetch.XXXXXX")
    fetch_tmp=$tmp
    # The package lists may be older than the archive: one update, then once more.
    if ! (cd "$tmp" && apt-get download "$package" >"$tmp/apt.log" 2>&1); then
        $SUDO apt-get update -qq >>"$tmp/apt.log" 2>&1 || true
        (cd "$tmp" && apt-get download "$package" >>"$tmp/apt.log" 2>&1) ||
            { cat "$tmp/apt.log" >&2; rm -rf "$tmp"; fail "cannot download $package"; }
    fi
    deb=$(ls "$tmp"/*.deb)
    mkdir -p "$tmp/x"
    dpkg-deb --fsys-tarfile "$deb" |
        tar -x -C "$tmp/x" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/usb/*'
    mkdir -p "$tmp/kernel"
    mv "$tmp"/x/lib/modules/*/kernel/drivers/usb "$tmp/kernel/usb"
    if ! unpack_kernel "$tmp"/x/boot/vmlinuz-* "$tmp/kernel/vmlinux"; then
        rm -f "$tmp/kernel/vmlinux"
        cp "$tmp"/x/boot/vmlinuz-* "$tmp/kernel/vmlinuz"  # booted as it is, only slower
    fi
    rm -rf "$dir"
    mv "$tmp/kernel" "$dir"
    rm -rf "$tmp"
    # Kernels that the metapackage no longer names are not kept.
    find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-image-*' ! -name "$package" \
        -exec rm -rf {} +
}

mkdir -p "$cache"
# One fetch at a time: runs that start together wait for the first one's kernel.
exec 9>"$cache/.lock"
flock 9
package=$(kernel_package)
if [[ -z $package ]]; then
    $SUDO apt-get update -qq >/dev/null 2>&1 || true
    package=$(kernel_package)
fi
if [[ -z $package ]]; then
    # Offline, or no Debian archive: a kernel fetched before still serves.
    package=$(basename "$(ls -d "$cache"/linux-image-* 2>/dev/null | tail -n 1)" 2>/dev/null || true)
    [[ -n $package ]] || fail "no kernel: apt knows no linux-image-amd64 (a Debian archive)"
fi
kdir=$cache/$package
if [[ ! -d $kdir/usb ]]; then
    echo "vm-image: fetching $package into $cache (once)"
    fetch_kernel "$package"
fi
flock -u 9
if [[ -f $kdir/vmlinux ]]; then
    ln -sf "$kdir/vmlinux" "$out/kernel"
else
    ln -sf "$kdir/vmlinuz" "$out/kernel"
fi

# The modules, dependencies first, as their own "depends=" fields name them. Packed modules
# are unpacked: busybox's insmod reads plain ones only.
root=$out/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,root,fw,lib/modules,home/tech,home/visitor}
declare -A loaded=()
order=()
add_module() {
    local name=$1 file dep
    [[ -n ${loaded[$name]:-} ]] && return 0
    loaded[$name]=1
    file=$(find "$kdir/usb" -regex ".*/${name//[-_]/[-_]}\.ko\(\.xz\|\.zst\|\.gz\)?" | head -n 1)
    [[ -n $file ]] || fail "module $name is not among the kernel's USB modules"
    case $file in
    *.xz) xz -dc "$file" >"$root/lib/modules/$name.ko" ;;
    *.zst) zstd -qdc "$file" >"$root/lib/modules/$name.ko" ;;
    *.gz) gzip -dc "$file" >"$root/lib/modules/$name.ko" ;;
    *) cp "$file" "$root/lib/modules/$name.ko" ;;
    esac
    for dep in $(tr '\0' '\n' <"$root/lib/modules/$name.ko" | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$dep"
    done
    order+=("$name")
}
for module in "${wanted_modules[@]}"; do
    add_module "$module"
done
printf '%s\n' "${order[@]}" >"$root/etc/modules.order"

# busybox (static) for the shell and its tools; quillon-cli with the libraries it loads.
busybox=$(command -v busybox) || fail "busybox is missing (scripts/setup.sh --test installs it)"
ldd "$busybox" >/dev/null 2>&1 && fail "$busybox is not static (install busybox-static)"
cp "$busybox" "$root/bin/busybox"
cli=$build/src/app/cli/quillon-cli
[[ -x $cli ]] || fail "$cli is missing: build $build first"
strip -o "$root/bin/quillon-cli" "$cli" 2>/dev/null || cp "$cli" "$root/bin/quillon-cli"
for lib in $(ldd "$cli" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
done

"$build/tools/mkfw/quillon-mkfw" --target master --size 0x4040 "$out/Master_vm.mot"
"$build/tools/mkfw/quillon-mkfw" --target master --size 0x4040 --format bin "$out/Master_vm.bin"
cp "$out/Master_vm.mot" "$out/Master_vm.bin" "$root/fw/"

# tech is in dialout, visitor is not: who may use the adapter is decided by the device's group.
cat >"$root/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
tech:x:1000:1000:tech:/home/tech:/bin/sh
visitor:x:1001:1001:visitor:/home/visitor:/bin/sh
EOF
cat >"$root/etc/group" <<'EOF'
root:x:0:
dialout:x:20:tech
tech:x:1000:
visitor:x:1001:
EOF

cat >"$root/init" <<'EOF'
#!/bin/busybox sh
# The guest's init: the file systems, the USB host and serial drivers, then the host's commands
# from the console, one a line ("ID BASE64-OF-COMMANDS"), each answered between "@@begin ID" and
# "@@end ID STATUS". A command runs in its own shell, so no mistake in one ends init.
/bin/busybox --install -s /bin
export PATH=/bin HOME=/root
chown -R 0:0 /
chown -R 1000:1000 /home/tech
chown -R 1001:1001 /home/visitor
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
for m in $(cat /etc/modules.order); do
    insmod /lib/modules/$m.ko || echo "@@failed insmod $m"
done
stty raw -echo  # no echo, no line editing, no CR before LF
echo "@@ready"
while IFS= read -r line; do
    id=${line%% *}
    echo "@@begin $id"
    sh -c "$(echo "${line#* }" | base64 -d)" </dev/null 2>&1
    echo "@@end $id $?"
done
poweroff -f
EOF
chmod 755 "$root/init"

# The archive; /dev/console is added as a second archive in the same format (newc), as no
# device node can be made here without root.
newc_entry() {  # NAME MODE RDEV_MAJOR RDEV_MINOR
    local size=$((${#1} + 1))
    printf '070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X' \
        1 "$2" 0 0 1 0 0 0 0 "$3" "$4" "$size" 0
    printf '%s\0' "$1"
    head -c $(((4 - (110 + size) % 4) % 4)) /dev/zero
}
(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null) >"$out/initramfs.cpio"
{
    newc_entry dev/console $((0020600)) 5 1
    newc_entry 'TRAILER!!!' 0 0 0
} >>"$out/initramfs.cpio"
rm -rf "$root"
echo "vm-image: $package, modules ${order[*]}, initramfs $(($(stat -c %s "$out/initramfs.cpio") / 1024)) KiB"
