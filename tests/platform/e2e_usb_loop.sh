#!/bin/bash
# Loop-mounts an ext4 image labelled "MY DISK" at /media/<user>/MY DISK and
# runs the real detector (the probe) over a fake sysfs in which that loop
# device hangs below a USB port. Everything happens in a mount namespace of
# its own: the mounts vanish with it, and the loop device, attached by
# mount -o loop, clears itself when its last mount goes.
# Usage: e2e_usb_loop.sh PROBE WORKDIR. Prints "device=/dev/loopN", then the
# probe's lines. Exit 77: this machine cannot run it.
set -u
probe=$1
work=$2

[ "$(id -u)" -eq 0 ] || { echo "needs root" >&2; exit 77; }
for tool in unshare mount mkfs.ext4 losetup findmnt truncate; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing $tool" >&2; exit 77; }
done
[ -e /dev/loop-control ] || { echo "no loop devices" >&2; exit 77; }
[ -d /media ] || { echo "no /media" >&2; exit 77; }
unshare --mount --propagation private true 2>/dev/null || { echo "no mount namespaces" >&2; exit 77; }

image="$work/disk.img"
truncate -s 16M "$image" && mkfs.ext4 -q -F -L "MY DISK" "$image" || { echo "cannot make the image" >&2; exit 77; }

detach_leftovers() {
    local device
    for device in $(losetup -n -O NAME -j "$image" 2>/dev/null); do
        losetup -d "$device" 2>/dev/null
    done
}
trap detach_leftovers EXIT

export probe work image
unshare --mount --propagation private bash -c '
set -eu
user=kvdprobe
root="/media/$user/MY DISK"
# A /media of this namespace alone.
mount -t tmpfs kavendru-media /media || { echo "cannot mount" >&2; exit 77; }
mkdir -p "$root"
mount -o loop "$image" "$root" 2>/dev/null || { echo "cannot loop-mount" >&2; exit 77; }
device=$(findmnt -n -o SOURCE --target "$root")
name=${device#/dev/}
echo "device=$device"

# sysfs: the loop device below a USB mass-storage device, beside an internal
# virtio disk.
sys="$work/sys"
usb="devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host9/target9:0:0/9:0:0:0"
mkdir -p "$sys/class/block" "$sys/$usb/block/$name/holders" "$sys/devices/pci0000:00/0000:00:04.0/virtio2/block/vda"
echo 0 > "$sys/$usb/type"
echo 1 > "$sys/$usb/block/$name/removable"
ln -s ../../../9:0:0:0 "$sys/$usb/block/$name/device"
ln -s "../../$usb/block/$name" "$sys/class/block/$name"
echo 0 > "$sys/devices/pci0000:00/0000:00:04.0/virtio2/block/vda/removable"
ln -s ../../devices/pci0000:00/0000:00:04.0/virtio2/block/vda "$sys/class/block/vda"

# /dev with the nodes a program needs, the loop node and its label link.
dev="$work/dev"
mkdir -p "$dev"
mount -t tmpfs kavendru-dev "$dev"
for node in null zero full random urandom "$name"; do
    [ -e "/dev/$node" ] || continue
    touch "$dev/$node"
    mount --bind "/dev/$node" "$dev/$node"
done
mkdir -p "$dev/disk/by-label"
ln -s "../../$name" "$dev/disk/by-label/MY\\x20DISK"

mount --rbind "$sys" /sys
mount --rbind "$dev" /dev
USER=$user LOGNAME=$user "$probe"
'
exit $?
