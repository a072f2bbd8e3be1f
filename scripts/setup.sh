#!/usr/bin/env bash
# Checks that the Debian packages a task needs are installed, and installs
# the missing ones when it can (as root, with apt-get); otherwise names them
# and fails.
#
#   scripts/setup.sh [build] [test] [fuzz] [docs] [bench]
set -euo pipefail

packages_for() {
    case "$1" in
        build) echo "cmake g++ make" ;;
        test) echo "cmake g++ make libgtest-dev faketime tzdata" ;;
        fuzz) echo "clang libclang-rt-14-dev" ;;
        docs) echo "groff-base dpkg" ;;
        bench) echo "time coreutils" ;;
        *) echo "setup.sh: unknown task '$1'" >&2; exit 2 ;;
    esac
}

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "setup.sh: this is not a Debian system; install by hand: $(for t in "${@:-build}"; do packages_for "$t"; done)" >&2
    exit 1
fi

missing=()
for task in "${@:-build}"; do
    for package in $(packages_for "$task"); do
        installed "$package" || missing+=("$package")
    done
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup.sh: missing Debian packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    echo "setup.sh: run as root: apt-get install ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
for package in "${missing[@]}"; do
    installed "$package" || { echo "setup.sh: could not install $package" >&2; exit 1; }
done
echo "setup.sh: installed ${missing[*]}"
