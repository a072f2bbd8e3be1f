#!/usr/bin/env bash
# Builds the Debian package, lists its contents, then installs and removes
# it with dpkg in a root of its own, so that the machine's own packages are
# not touched.  The package of a cross build is for its target: it is
# installed all the same, and its programs run under the emulator given
# after the build directory.  With --hardened, each program of the package
# must carry what the distribution's hardening flags give (dpkg-buildflags
# with hardening=+all): position-independent, read-only relocations bound at
# start, fortified C library calls, stack protection.
#   tests/package_test.sh [--hardened] BUILD_DIR [EMULATOR...]
set -euo pipefail
hardened=false
if [ "${1:-}" = --hardened ]; then
    hardened=true
    shift
fi
build=$(cd "${1:?usage: package_test.sh [--hardened] BUILD_DIR [EMULATOR...]}" && pwd)
shift
emulator=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null) || fail "cpack failed"
deb=$(ls "$work"/*.deb)
info=$(dpkg-deb -I "$deb")
grep -q "Package: kavex-node-tools" <<<"$info" || fail "wrong package name"
dpkg-deb -c "$deb" >"$work/contents"
for path in usr/sbin/dbindex usr/sbin/KELDRAN usr/sbin/VOSKIL usr/sbin/TRABEN usr/sbin/MIRKOS \
    usr/share/man/man8/dbindex.8.gz usr/share/man/man8/KELDRAN.8.gz usr/share/man/man8/MIRKOS.8.gz \
    usr/share/doc/kavex-node-tools/examples/systemd/kavex-purge.timer; do
    grep -q " \./$path\$" "$work/contents" || fail "$path is not in the package"
done
echo "package contents:"
awk '{ print "  " $6 }' "$work/contents"

if $hardened; then
    dpkg-deb -x "$deb" "$work/files"
    for program in dbindex KELDRAN VOSKIL TRABEN MIRKOS; do
        binary="$work/files/usr/sbin/$program"
        readelf -hW "$binary" | grep -Eq 'Type: +DYN' || fail "$program is not position-independent"
        readelf -lW "$binary" | grep -q GNU_RELRO || fail "$program has no read-only relocations"
        readelf -dW "$binary" | grep -Eq '\(FLAGS(_1)?\).*\<(BIND_NOW|NOW)\>' ||
            fail "$program does not bind its symbols at start (-z now)"
        symbols=$(readelf --dyn-syms -W "$binary")
        grep -Eq ' __[a-z_]+_chk(@|$)' <<<"$symbols" || fail "$program calls no fortified function"
        grep -q ' __stack_chk_fail' <<<"$symbols" || fail "$program has no stack protection"
    done
    echo "package test: 5 programs position-independent, with RELRO, BIND_NOW, fortified calls, stack protection"
fi

root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
touch "$root/var/lib/dpkg/status"
# The root has no libc6 of its own to depend on: only that is forced, and
# the architecture of a cross build's package.
force=--force-depends
[ ${#emulator[@]} -eq 0 ] || force+=,architecture
dpkg --root="$root" "$force" -i "$deb" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg -i failed"; }
"${emulator[@]}" "$root/usr/sbin/MIRKOS" --help >/dev/null || fail "the installed MIRKOS does not run"
# Debian's checks of a package, where lintian is installed: no error, no
# warning.
if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 ||
        { cat "$work/lintian"; fail "lintian reports an error or a warning"; }
    echo "package test: lintian reports no error and no warning"
fi
dpkg --root="$root" --purge kavex-node-tools >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg --purge failed"; }
left=$(find "$root" -path "$root/var" -prune -o -type f -print | wc -l)
[ "$left" -eq 0 ] || fail "$left files left after removal"
echo "package test: $(basename "$deb") installs and removes cleanly: passed"
