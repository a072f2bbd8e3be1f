#!/usr/bin/env bash
# Builds the Debian package, lists its contents, then installs and removes
# it with dpkg in a root of its own, so that the machine's own packages are
# not touched.
#   tests/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null) || fail "cpack failed"
deb=$(ls "$work"/*.deb)
info=$(dpkg-deb -I "$deb")
grep -q "Package: kavex-node-tools" <<<"$info" || fail "wrong package name"
dpkg-deb -c "$deb" >"$work/contents"
for path in usr/bin/dbindex usr/bin/KELDRAN usr/bin/VOSKIL usr/bin/TRABEN usr/bin/MIRKOS \
    usr/share/man/man8/dbindex.8 usr/share/man/man8/KELDRAN.8 usr/share/man/man8/MIRKOS.8 \
    usr/share/doc/kavex-node-tools/examples/systemd/kavex-purge.timer; do
    grep -q " \./$path\$" "$work/contents" || fail "$path is not in the package"
done
echo "package contents:"
awk '{ print "  " $6 }' "$work/contents"

root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
touch "$root/var/lib/dpkg/status"
# The root has no libc6 of its own to depend on: only that is forced.
dpkg --root="$root" --force-depends -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
"$root/usr/bin/MIRKOS" --help >/dev/null || fail "the installed MIRKOS does not run"
dpkg --root="$root" --purge kavex-node-tools >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg --purge failed"; }
left=$(find "$root" -path "$root/var" -prune -o -type f -print | wc -l)
[ "$left" -eq 0 ] || fail "$left files left after removal"
echo "package test: $(basename "$deb") installs and removes cleanly: passed"
