#!/usr/bin/env bash
# Builds the Debian package from debian/ with dpkg-buildpackage, in a copy
# of the files that git tracks (as they are now, changes not yet committed
# included), so that the source package holds nothing else; then tests it.
#   scripts/package.sh         the source package and the package for this
#                              machine, in build/package
#   scripts/package.sh ARCH    the package for a target of make cross, with
#                              that target's dpkg-buildflags, in build/package-ARCH
#   scripts/package.sh --dist  build/kavex-node-tools-VERSION.tar.gz, the
#                              sources of the last commit
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(dpkg-parsechangelog -S Version)
name=kavex-node-tools-$version

if [ "${1:-}" = --dist ]; then
    mkdir -p build
    git archive --prefix="$name/" -o "build/$name.tar.gz" HEAD
    [ -z "$(git status --porcelain --untracked-files=no)" ] ||
        echo "make dist: the changes not yet committed are not in the tarball" >&2
    echo "make dist: build/$name.tar.gz"
    exit 0
fi

arch=${1:-}
out=build/package${arch:+-$arch}
rm -rf "$out"
mkdir -p "$out"
# A commit of the working tree that changes no branch; none when nothing
# changed.
tree=$(GIT_AUTHOR_NAME=package GIT_AUTHOR_EMAIL=package@localhost GIT_COMMITTER_NAME=package \
    GIT_COMMITTER_EMAIL=package@localhost git stash create)
git archive --prefix="$name/" "${tree:-HEAD}" | tar -x -C "$out"

build=(dpkg-buildpackage --no-sign -j"${JOBS:-2}")
emulator=()
if [ -n "$arch" ]; then
    case $arch in
        i686) host=i386 ;;
        aarch64) host=arm64 ;;
        *) host=$arch ;;
    esac
    # The target's programs cannot run at build time: they are tested
    # under qemu below, as make cross tests them.
    build+=(--host-arch="$host" --build=binary --build-profiles=cross,nocheck)
    export DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}"
    triplet=$(dpkg-architecture -a"$host" -qDEB_HOST_GNU_TYPE 2>/dev/null)
    mapfile -t emulator < <(cmake -DTOOLCHAIN="cmake/toolchains/$triplet.cmake" \
        -P cmake/emulator.cmake 2>&1)
fi
echo "make package: ${build[*]} in $out/$name (log: $out/build.log)"
(cd "$out/$name" && KAVEX_WERROR=ON "${build[@]}") >"$out/build.log" 2>&1 ||
    { tail -n 40 "$out/build.log"; echo "make package: dpkg-buildpackage failed" >&2; exit 1; }
if [ -z "$arch" ] && [[ " ${DEB_BUILD_OPTIONS:-} ${DEB_BUILD_PROFILES:-} " != *" nocheck "* ]]; then
    grep -E '^100% tests passed, 0 tests failed out of [1-9]' "$out/build.log" ||
        { echo "make package: the build did not run the quick tests (log: $out/build.log)" >&2; exit 1; }
fi
tests/package_test.sh "$out"/*.changes "${emulator[@]}"
for deb in "$out"/*.deb; do
    [[ $deb == *-dbgsym_* ]] || echo "make package: $deb"
done
