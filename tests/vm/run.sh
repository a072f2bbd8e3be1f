#!/usr/bin/env bash
# make vmtest: the package of PACKAGE_DIR in a Debian guest of RELEASE
# (trixie, bookworm) booted under qemu (tests/vm/image.sh), which runs
# tests/vm/guest.sh and powers off.  KVM where it boots a guest, else
# software emulation.  On amd64 the guest runs every scenario, with the
# previous release for the upgrade (tests/vm/previous.sh) and the package
# served by signed apt repositories (scripts/repo.sh); on arm64 and armhf,
# the autopkgtest and the units' runs.
#   tests/vm/run.sh PACKAGE_DIR amd64|arm64|armhf RELEASE
set -euo pipefail
cd "$(dirname "$0")/../.."
packages=$1 arch=$2 release=$3
vm=${KAVEX_CACHE:-/var/cache/kavex-node-tools}/vm/$release-$arch out=$PWD/build/vm/out-$release-$arch
rm -rf "$out" && mkdir -p "$out/new" "$out/prev" "$out/src"
# The previous release builds while mmdebstrap mostly waits on the mirror.
[ "$arch" != amd64 ] || tests/vm/previous.sh >"$out/previous" &
# The signed repositories that the guest's apt reads from the share: the
# previous release, then this one, under one key; and this one again under
# a key that the guest does not trust.
repositories() {
    local key
    key=$(scripts/repo.sh --new-key)
    KAVEX_SIGNING_KEY=$key scripts/repo.sh "$out/repo/prev" "$out/prev" >/dev/null
    KAVEX_SIGNING_KEY=$key scripts/repo.sh "$out/repo/new" "$out/new" >/dev/null
    KAVEX_SIGNING_KEY='' scripts/repo.sh "$out/repo/other" "$out/new" >/dev/null
}
start=$SECONDS
tests/vm/image.sh "$arch" "$release" "$vm"
echo "vmtest: the $release $arch image in $vm: $((SECONDS - start)) s"
wait $! || { echo "vmtest: no previous release to upgrade from" >&2; exit 1; }
find "$packages" -maxdepth 1 -name 'kavex-node-tools_*.deb' -exec cp {} "$out/new/" \;
# The autopkgtest's source tree: the files that git tracks, as they are now.
tree=$(git stash create)
git archive "${tree:-HEAD}" | tar -x -C "$out/src"
if [ "$arch" = amd64 ]; then
    cp "$(cat "$out/previous")" "$out/prev/"
    repositories
    echo "${VMTEST_SCENARIOS:-autopkgtest_run repo_refusals repo_install unconfigured configured timer_fires failure_shows cron_run node_holds_file \
        node_stopped_for_purges node_started_after_failed_purge upgrade \
        remove_reinstall purge}" >"$out/scenarios"
    qemu=(qemu-system-x86_64 -M q35 -serial "file:$out/console" -append "console=ttyS0")
else
    echo autopkgtest_run configured >"$out/scenarios"
    [ "$arch" = arm64 ] && system=qemu-system-aarch64 || system=qemu-system-arm
    qemu=("$system" -M virt -serial "file:$out/console" -append "console=ttyAMA0")
fi
qemu[${#qemu[@]}-1]+=" root=/dev/vda rw quiet"
qemu+=(-m 2048 -smp 2 -display none -monitor none -nic none -kernel "$vm/vmlinuz" -initrd "$vm/initrd.img"
    -drive "file=$vm/disk.img,format=raw,if=virtio,snapshot=on"
    -virtfs "local,path=$PWD,mount_tag=src,security_model=none,readonly=on"
    -virtfs "local,path=$out,mount_tag=out,security_model=none")
boot() {
    rm -f "$out/status"
    start=$SECONDS
    timeout "${VMTEST_TIMEOUT:-1500}" "${qemu[@]}" "$@" || true
    [ -e "$out/status" ]
}
# A nested KVM that cannot run the guest stops qemu at once.
if [ "$arch" = "$(dpkg --print-architecture)" ] && [ -w /dev/kvm ] &&
    VMTEST_TIMEOUT=${VMTEST_KVM_TIMEOUT:-300} boot -accel kvm -cpu host 2>"$out/kvm.log"; then
    accel=kvm
else
    accel=tcg
    case $arch in amd64) cpu=max ;; arm64) cpu=cortex-a57 ;; armhf) cpu=cortex-a15 ;; esac
    boot -accel tcg -cpu "$cpu"
fi
cat "$out/log" 2>/dev/null || tail -n 30 "$out/console"
echo "vmtest: the $release $arch guest under $accel, boot and scenarios: $((SECONDS - start)) s"
[ "$(cat "$out/status" 2>/dev/null)" = 0 ]
