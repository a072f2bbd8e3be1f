#!/usr/bin/env bash
# Builds, once, the package of the previous release for the upgrade tests,
# and prints its path: from the commit before debian/changelog took this
# version or, in a clone without that commit, from these sources under the
# changelog's version below.  A package built from a commit is kept in
# /var/cache/kavex-node-tools (KAVEX_CACHE) for later runs and other clones.
set -euo pipefail
cd "$(dirname "$0")/../.."
version=$(dpkg-parsechangelog -S Version)
base=HEAD
for commit in $(git rev-list --reverse HEAD -- debian/changelog); do
    if [ "$(git show "$commit:debian/changelog" | dpkg-parsechangelog -l- -S Version)" = "$version" ]; then
        base=$commit^
        break
    fi
done
if id=$(git rev-parse -q --verify "$base^{commit}"); then
    tree=$id out=${KAVEX_CACHE:-/var/cache/kavex-node-tools}/previous/$id
else
    tree=HEAD id=below-$version out=build/previous/$id
fi
mkdir -p "$(dirname "$out")"
exec 9>"$out.lock"
flock 9
deb=$(ls "$out"/kavex-node-tools_*.deb 2>/dev/null | grep -v dbgsym) && { echo "$deb"; exit 0; }
rm -rf "$out" && mkdir -p "$out/src"
git archive "$tree" | tar -x -C "$out/src"
if [ "$tree" = HEAD ]; then
    sed -i '1,/^ -- /d' "$out/src/debian/changelog"
    sed -i '1{/^$/d}' "$out/src/debian/changelog"
fi
(cd "$out/src" && dpkg-buildpackage -b --no-sign -j"${JOBS:-2}") >"$out/build.log" 2>&1 ||
    { tail -n 30 "$out/build.log" >&2; echo "vmtest: the previous package failed to build" >&2; exit 1; }
ls "$out"/kavex-node-tools_*.deb | grep -v dbgsym
