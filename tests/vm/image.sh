#!/usr/bin/env bash
# Builds, once, a guest of make vmtest from Debian's packages, of the given
# release (trixie, bookworm):
# mmdebstrap's root (systemd, the stock kernel, autopkgtest, and g++ for
# the autopkgtest, which builds its node tree's maker) in an ext4 disk
# image, with the kernel and initrd beside it for qemu's direct boot.  At
# boot the guest mounts the host's "src" and "out" shares (9p) and runs
# tests/vm/guest.sh from src, then powers off.  The guest has no network:
# apt gets the packages from the share.  The initrd holds only what mounts
# the disk: building the usual one under qemu-user takes many minutes.
# The image is kept in DIR for later runs, in other clones too, and made
# anew when this script changes or after a week.
#   tests/vm/image.sh amd64|arm64|armhf RELEASE DIR
set -euo pipefail
arch=$1 release=$2 dir=$3
here=$(cd "$(dirname "$0")" && pwd)
key=$(echo "$arch $release" | cat "$0" "$here/vmtest.service" - | sha256sum | cut -c1-16)
mkdir -p "$(dirname "$dir")"
# One run at a time makes or takes an image.
exec 9>"$dir.lock"
flock 9
[ "$(cat "$dir/key" 2>/dev/null)" = "$key" ] && [ -n "$(find "$dir/key" -mtime -7)" ] && exit 0
rm -rf "$dir" && mkdir -p "$dir"
case $arch in
    amd64) kernel=linux-image-amd64 ;;
    arm64) kernel=linux-image-arm64 emulator=qemu-aarch64 ;;
    # LPAE reaches what qemu's virt machine maps above 4 GiB (its PCI windows).
    armhf) kernel=linux-image-armmp-lpae emulator=qemu-arm ;;
    *) echo "vmtest: no guest for $arch" >&2; exit 2 ;;
esac
# A foreign root's maintainer scripts run under qemu-user, through
# binfmt_misc, registered for this build alone: left registered, it makes
# the later tests of the target's package fail (those of armhf did), which
# run its programs through an emulator of their own.
if [ "$arch" != "$(dpkg --print-architecture)" ] && [ ! -e "/proc/sys/fs/binfmt_misc/$emulator" ]; then
    mountpoint -q /proc/sys/fs/binfmt_misc || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    cat "/usr/lib/binfmt.d/$emulator.conf" >/proc/sys/fs/binfmt_misc/register
    trap 'echo -1 >"/proc/sys/fs/binfmt_misc/$emulator"' EXIT
fi
mmdebstrap --mode=root --arch="$arch" --variant=apt \
    --include="systemd-sysv,udev,$kernel,initramfs-tools,autopkgtest,dpkg-dev,procps,passwd,g++" \
    --essential-hook='mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks"
        echo MODULES=list >"$1/etc/initramfs-tools/conf.d/vmtest"
        printf "#!/bin/sh\n[ \"\$1\" = prereqs ] && exit 0\n. /usr/share/initramfs-tools/hook-functions\nmanual_add_modules virtio_pci virtio_mmio virtio_blk ext4\n" \
            >"$1/etc/initramfs-tools/hooks/vmtest"
        chmod +x "$1/etc/initramfs-tools/hooks/vmtest"' \
    --customize-hook='rm -f "$1/etc/apt/sources.list" "$1"/etc/apt/sources.list.d/*; echo guest >"$1/etc/hostname"' \
    --customize-hook="cp $here/vmtest.service \"\$1/etc/systemd/system/\"" \
    --customize-hook='systemctl --root="$1" enable vmtest.service' \
    "$release" "$dir/root" >"$dir/mmdebstrap.log" 2>&1 ||
    { tail -n 30 "$dir/mmdebstrap.log"; echo "vmtest: mmdebstrap failed" >&2; exit 1; }
cp "$dir"/root/boot/vmlinuz-* "$dir/vmlinuz"
cp "$dir"/root/boot/initrd.img-* "$dir/initrd.img"
mkfs.ext4 -q -L root -d "$dir/root" "$dir/disk.img" 3G >/dev/null
rm -rf "$dir/root"
echo "$key" >"$dir/key"
