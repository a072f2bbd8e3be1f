#!/usr/bin/env bash
# Checks that the Debian packages a task needs are installed, and installs
# the missing ones when it can (as root, with apt-get); otherwise names them
# and fails.
#
#   scripts/setup.sh [build] [test] [fuzz] [docs] [bench] [clang] [package]
#                    [cross-i686] [cross-armhf] [cross-aarch64] [cross-s390x]
#                    [package-i686] [package-armhf] [package-aarch64] [package-s390x]
#                    [vmtest] [vmtest-aarch64] [vmtest-armhf] [piuparts] [repro] [repo]
#
# A cross task brings Debian's cross compiler for the target, qemu-user to
# run the target's programs, and the GoogleTest sources to build for the
# target.  A target's package needs the target's own C and C++ runtime
# libraries too, installed beside the machine's (multiarch), for
# dpkg-shlibdeps to compute its Depends.
set -euo pipefail

packages_for() {
    case "$1" in
        build) echo "cmake g++ make gzip" ;;
        test) echo "cmake g++ make libgtest-dev faketime tzdata" ;;
        fuzz) echo "clang libclang-rt-14-dev" ;;
        docs) echo "groff-base dpkg gzip man-db" ;;
        bench) echo "time coreutils" ;;
        clang) echo "clang make cmake" ;;
        package) echo "dpkg-dev debhelper binutils lintian git systemd" ;;
        cross-i686) cross_packages i386 ;;
        cross-armhf) cross_packages armhf ;;
        cross-aarch64) cross_packages arm64 ;;
        cross-s390x) cross_packages s390x ;;
        package-i686) target_libraries i386 ;;
        package-armhf) target_libraries armhf ;;
        package-aarch64) target_libraries arm64 ;;
        package-s390x) target_libraries s390x ;;
        vmtest) echo "mmdebstrap debian-archive-keyring e2fsprogs qemu-system-x86 dpkg-dev debhelper git" ;;
        vmtest-aarch64 | vmtest-armhf)
            echo "mmdebstrap debian-archive-keyring e2fsprogs qemu-system-arm qemu-user-static arch-test" ;;
        piuparts) echo "piuparts mmdebstrap debian-archive-keyring dpkg-dev debhelper git" ;;
        repo) echo "apt-utils gnupg gpgv dpkg-dev" ;;
        repro) echo "reprotest diffoscope-minimal faketime locales-all dpkg-dev debhelper git" ;;
        *) echo "setup.sh: unknown task '$1'" >&2; exit 2 ;;
    esac
}

cross_packages() {
    echo "cmake make googletest qemu-user tzdata crossbuild-essential-$1"
}

target_libraries() {
    echo "libc6:$1 libstdc++6:$1 libgcc-s1:$1"
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
        installed "$package" || [[ " ${missing[*]} " == *" $package "* ]] || missing+=("$package")
    done
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup.sh: missing Debian packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    architectures=$(printf '%s\n' "${missing[@]}" | sed -n 's/.*:/dpkg --add-architecture /p' | sort -u)
    echo "setup.sh: run as root: ${architectures:+${architectures//$'\n'/; }; apt-get update; }apt-get install ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
for package in "${missing[@]}"; do
    [[ $package != *:* ]] || dpkg --add-architecture "${package#*:}"
done
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
for package in "${missing[@]}"; do
    installed "$package" || { echo "setup.sh: could not install $package" >&2; exit 1; }
done
echo "setup.sh: installed ${missing[*]}"
