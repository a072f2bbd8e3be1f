#!/usr/bin/env bash
# piuparts on the package of PACKAGE_DIR, in a Debian 12 chroot made by
# mmdebstrap (cached in build/piuparts): install, remove and purge, then the
# upgrade from the previous release (tests/vm/previous.sh), which a local
# repository offers as the archive's version.
#   tests/piuparts.sh PACKAGE_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$PWD/build/piuparts
mirror=http://deb.debian.org/debian
mkdir -p "$dir"
[ -s "$dir/bookworm.tar.gz" ] || mmdebstrap --mode=root --variant=minbase bookworm \
    "$dir/bookworm.tar.gz" "$mirror" >"$dir/mmdebstrap.log" 2>&1 ||
    { tail -n 20 "$dir/mmdebstrap.log"; exit 1; }
rm -rf "$dir/repo" && mkdir -p "$dir/repo"
cp "$(tests/vm/previous.sh)" "$dir/repo/"
(cd "$dir/repo" && dpkg-scanpackages . >Packages 2>/dev/null)
deb=$(ls "$1"/kavex-node-tools_*.deb | grep -v dbgsym)
piuparts --basetgz="$dir/bookworm.tar.gz" --distribution=bookworm --mirror="$mirror main" \
    --bindmount="$dir/repo" --extra-repo="deb [trusted=yes] file://$dir/repo ./" \
    --warn-on-debsums-errors "$deb" >"$dir/piuparts.log" 2>&1 ||
    { tail -n 40 "$dir/piuparts.log"; echo "piuparts: FAILED (log: $dir/piuparts.log)" >&2; exit 1; }
grep -E 'PASS|upgrad' "$dir/piuparts.log" | tail -n 5
