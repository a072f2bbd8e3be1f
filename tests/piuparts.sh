#!/usr/bin/env bash
# piuparts on the package of PACKAGE_DIR, in a chroot of RELEASE (trixie,
# bookworm) made by mmdebstrap (kept in /var/cache/kavex-node-tools, or
# KAVEX_CACHE, for later runs, and made anew after a week): install, remove
# and purge, then the upgrade from the previous release
# (tests/vm/previous.sh), which a local repository offers as the archive's
# version.
#   tests/piuparts.sh PACKAGE_DIR RELEASE
set -euo pipefail
cd "$(dirname "$0")/.."
release=$2
dir=$PWD/build/piuparts/$release
cache=${KAVEX_CACHE:-/var/cache/kavex-node-tools}/piuparts
base=$cache/$release.tar.gz
mirror=http://deb.debian.org/debian
mkdir -p "$dir" "$cache"
exec 9>"$base.lock"
flock 9
if [ -z "$(find "$base" -mtime -7 2>/dev/null)" ]; then
    mmdebstrap --mode=root --variant=minbase "$release" "$cache/$release.new.tar.gz" "$mirror" \
        >"$dir/mmdebstrap.log" 2>&1 || { tail -n 20 "$dir/mmdebstrap.log"; exit 1; }
    mv "$cache/$release.new.tar.gz" "$base"
fi
rm -rf "$dir/repo" && mkdir -p "$dir/repo"
cp "$(tests/vm/previous.sh)" "$dir/repo/"
(cd "$dir/repo" && dpkg-scanpackages . >Packages 2>/dev/null)
deb=$(ls "$1"/kavex-node-tools_*.deb | grep -v dbgsym)
# Debian 13's apt leaves debconf's templates directory, tmp.ci, in every
# chroot; Debian 12's piuparts does not know it yet.
piuparts --basetgz="$base" --distribution="$release" --mirror="$mirror main" \
    --bindmount="$dir/repo" --extra-repo="deb [trusted=yes] file://$dir/repo ./" \
    --ignore=/var/cache/debconf/tmp.ci/ \
    --warn-on-debsums-errors "$deb" >"$dir/piuparts.log" 2>&1 ||
    { tail -n 40 "$dir/piuparts.log"; echo "piuparts: FAILED (log: $dir/piuparts.log)" >&2; exit 1; }
grep -E 'PASS|upgrad' "$dir/piuparts.log" | tail -n 5
echo "piuparts: passed in $release"
