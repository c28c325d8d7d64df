#!/usr/bin/env bash
# Builds the guest's initramfs: Debian's kernel modules for USB serial,
# busybox-static, the init script, and the programs to run with every
# shared library they load, at the paths they are loaded from.
#   make-initrd.sh OUT_DIR KERNEL_VERSION PROGRAM... -- SUITE:SECONDS...
# PROGRAMs go to /bin, SUITEs to /suites (run in the order given, each
# killed after SECONDS).
set -euo pipefail
out=$1 version=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
root="$out/root"
rm -rf "$root"
mkdir -p "$root"/{bin,suites,modules,proc,sys,dev,etc,tmp}

busybox=/opt/tavrin-peers/busybox-static/bin/busybox
[ -x "$busybox" ] || busybox=/bin/busybox
if ldd "$busybox" >/dev/null 2>&1; then echo "$busybox is not static (.ci/deps unpacks busybox-static)" >&2; exit 1; fi
cp "$busybox" "$root/bin/busybox"
cp "$here/init" "$root/init"

modules=/lib/modules/$version/kernel
for m in drivers/usb/common/usb-common drivers/usb/core/usbcore drivers/usb/host/xhci-hcd \
         drivers/usb/host/xhci-pci drivers/usb/serial/usbserial drivers/usb/serial/ftdi_sio; do
    src="$modules/$m.ko"
    if [ -f "$src" ]; then cp "$src" "$root/modules/"
    elif [ -f "$src.xz" ]; then xz -dc "$src.xz" > "$root/modules/$(basename "$m").ko"
    else echo "missing module $src" >&2; exit 1; fi
done

copy_with_libraries() {
    cp "$1" "$2"
    # ldd prints "name => /path (addr)" and "/lib64/ld-linux... (addr)".
    { ldd "$1" 2>/dev/null || true; } | awk '/=> \// {print $3} /^\t\// {print $1}' | while read -r lib; do
        mkdir -p "$root$(dirname "$lib")"
        [ -e "$root$lib" ] || cp -L "$lib" "$root$lib"
    done
}

while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    copy_with_libraries "$1" "$root/bin/$(basename "$1")"
    shift
done
[ $# -gt 0 ] && shift
: > "$root/suites/order"
for entry in "$@"; do
    program=${entry%:*} seconds=${entry##*:}
    name=$(basename "$program")
    copy_with_libraries "$program" "$root/suites/$name"
    echo "$seconds" > "$root/suites/$name.limit"
    echo "$name" >> "$root/suites/order"
done

(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$out/initrd.gz"
