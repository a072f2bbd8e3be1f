#!/usr/bin/env bash
# make trixie: the README's two commands and make package on Debian 13, in a
# chroot that mmdebstrap makes from Debian's packages, with that release's
# compiler, debhelper and lintian (its own scripts/setup.sh installs them).
# The chroot is kept in /var/cache/kavex-node-tools (KAVEX_CACHE overrides),
# outside the checkout, so that a later run on this machine, in another
# clone too, takes it again; one older than a week is made anew.  The
# sources are the files that git tracks, as they are now, copied into the
# chroot as a repository of one commit; the logs go to build/trixie.
#   tests/trixie.sh [TARGET...]    the make targets to run (demo test package)
set -euo pipefail
cd "$(dirname "$0")/.."
cache=${KAVEX_CACHE:-/var/cache/kavex-node-tools}
root=$cache/trixie
logs=$PWD/build/trixie
mirror=http://deb.debian.org/debian
fail() { echo "make trixie: FAILED: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "making and entering the chroot needs root"
mkdir -p "$cache" "$logs"
# One run at a time uses the chroot.
exec 9>"$cache/trixie.lock"
flock 9

if [ -z "$(find "$root/.made" -mtime -7 2>/dev/null)" ]; then
    start=$SECONDS
    rm -rf "$root" "$root.new"
    mmdebstrap --mode=root --variant=minbase --include=make,ca-certificates trixie "$root.new" \
        "deb $mirror trixie main" "deb $mirror trixie-updates main" \
        "deb http://deb.debian.org/debian-security trixie-security main" \
        >"$logs/mmdebstrap.log" 2>&1 ||
        { tail -n 20 "$logs/mmdebstrap.log"; fail "mmdebstrap could not make the Debian 13 chroot"; }
    touch "$root.new/.made"
    mv "$root.new" "$root"
    echo "make trixie: made the Debian 13 chroot $root in $((SECONDS - start)) s"
fi

src=/build/kavex-node-tools
rm -rf "$root/build"
mkdir -p "$root$src"
tree=$(GIT_AUTHOR_NAME=trixie GIT_AUTHOR_EMAIL=trixie@localhost GIT_COMMITTER_NAME=trixie \
    GIT_COMMITTER_EMAIL=trixie@localhost git stash create)
git archive "${tree:-HEAD}" | tar -x -C "$root$src"
git -C "$root$src" init -q
git -C "$root$src" add -A
git -C "$root$src" -c user.name=trixie -c user.email=trixie@localhost commit -qm sources
cp --remove-destination /etc/resolv.conf "$root/etc/resolv.conf"

# Each step in a mount namespace of its own, so that nothing stays mounted.
in_chroot() {  # LOG COMMAND...
    local log=$1
    shift
    unshare --mount --propagation private -- sh -c '
        root=$1; shift
        mount -t proc proc "$root/proc" && mount --rbind /dev "$root/dev" &&
            exec chroot "$root" "$@"' sh "$root" \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 JOBS="${JOBS:-2}" \
        sh -c 'cd "$1" && shift && exec "$@"' sh "$src" "$@" >"$log" 2>&1
}
targets=("$@")
[ $# -gt 0 ] || targets=(demo test package)
for target in "${targets[@]}"; do
    start=$SECONDS
    rm -f "$logs/$target.log"
    in_chroot "$logs/$target.log" make "$target" ||
        { tail -n 40 "$logs/$target.log"; fail "make $target failed in Debian 13 (log: build/trixie/$target.log)"; }
    echo "make trixie: make $target passed in Debian 13 in $((SECONDS - start)) s"
done
in_chroot "$logs/versions" dpkg-query -W -f='${Package} ${Version}\n' g++ debhelper lintian &&
    echo "make trixie: with $(paste -sd, "$logs/versions" | sed 's/,/, /g')"
for target in "${targets[@]}"; do
    grep -E 'tests passed|^make package: |^package test: .*passed' "$logs/$target.log" | sed 's/^/  /' || true
done
