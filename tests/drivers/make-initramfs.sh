#!/bin/sh
# Builds the guest's initramfs: static busybox, the init script, and the
# modules the guest needs (USB host, the FTDI driver, virtio and 9p), in
# load order. The kernel's module folder comes unpacked from its package.
# usage: make-initramfs.sh MODULES_DIR OUTPUT.cpio.gz
set -eu
modules=$1
output=$2
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/host" "$root/lib/modules"
cp /bin/busybox "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
cp "$here/guest-init" "$root/init"
chmod 755 "$root/init"

# Dependencies before the modules that use them.
for name in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio \
            virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci \
            netfs fscache 9pnet 9pnet_virtio 9p; do
  file=$(find "$modules/kernel" -name "$name.ko" | head -n 1)
  [ -n "$file" ] || { echo "make-initramfs: no module $name under $modules" >&2; exit 1; }
  cp "$file" "$root/lib/modules/"
  echo "$name" >> "$root/lib/modules/order"
done

(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 > "$output"
