#!/usr/bin/env bash
# reprotest: builds the Debian package twice from the sources that git
# tracks, the second time with another build path, time, time zone,
# locale, umask, environment, number of CPUs and kernel personality, and
# compares the .debs (diffoscope shows where they differ, in build/repro).
# The order of files in a directory (disorderfs, which needs FUSE), the
# user and the host name stay fixed: not tried on these machines.  The
# builds skip the quick tests (the nocheck profile), which make package runs.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(dpkg-parsechangelog -S Version)
dir=build/repro
rm -rf "$dir" && mkdir -p "$dir"
tree=$(GIT_AUTHOR_NAME=repro GIT_AUTHOR_EMAIL=repro@localhost GIT_COMMITTER_NAME=repro \
    GIT_COMMITTER_EMAIL=repro@localhost git stash create)
git archive --prefix="kavex-node-tools-$version/" "${tree:-HEAD}" | tar -x -C "$dir"
(cd "$dir/kavex-node-tools-$version" && reprotest --vary=-fileordering,-user_group,-domain_host \
    --min-cpus="${JOBS:-2}" --store-dir=../out "dpkg-buildpackage -b --no-sign --build-profiles=nocheck" '../*.deb' -- null) \
    >"$dir/reprotest.log" 2>&1 ||
    { tail -n 60 "$dir/reprotest.log"; echo "repro: the two builds differ (diffoscope: $dir/out)" >&2; exit 1; }
sed -n "/^Reproduction successful/,\$p" "$dir/reprotest.log"
