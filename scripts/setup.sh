#!/usr/bin/env bash
# Checks that the Debian packages a task needs are installed, and installs
# the missing ones when it can (as root, with apt-get); otherwise names them
# and fails.
#
#   scripts/setup.sh [build] [test] [fuzz] [docs] [bench] [clang] [package]
#                    [cross-i686] [cross-armhf] [cross-aarch64] [cross-s390x]
#                    [package-i686] [package-armhf] [package-aarch64] [package-s390x]
#                    [vmtest] [vmtest-aarch64] [vmtest-armhf] [piuparts] [repro] [repo] [trixie]
#
# A cross task brings Debian's cross compiler for the target, qemu-user to
# run the target's programs, and the GoogleTest sources to build for the
# target.  A target's package needs the target's own C and C++ runtime
# libraries too, installed beside the machine's (multiarch), for
# dpkg-shlibdeps to compute its Depends.  Where a package's name changes
# from one Debian release to the next, it is asked of the release itself
# (Debian 12 and 13).
set -euo pipefail

packages_for() {
    case "$1" in
        build) echo "cmake g++ make gzip" ;;
        test) echo "cmake g++ make libgtest-dev faketime tzdata" ;;
        fuzz) echo "clang $(clang_runtime)" ;;
        docs) echo "groff-base dpkg gzip man-db" ;;
        bench) echo "time coreutils" ;;
        clang) echo "clang make cmake" ;;
        package) echo "build-essential dpkg-dev debhelper binutils lintian git systemd" ;;
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
            echo "mmdebstrap debian-archive-keyring e2fsprogs qemu-system-arm $(binfmt_qemu) arch-test" ;;
        piuparts) echo "piuparts mmdebstrap debian-archive-keyring dpkg-dev debhelper git" ;;
        repo) echo "apt-utils gnupg gpgv dpkg-dev" ;;
        repro) echo "reprotest diffoscope-minimal faketime locales-all dpkg-dev debhelper git" ;;
        trixie) echo "mmdebstrap debian-archive-keyring git" ;;
        *) echo "setup.sh: unknown task '$1'" >&2; exit 2 ;;
    esac
}

cross_packages() {
    echo "cmake make googletest qemu-user tzdata crossbuild-essential-$1"
}

# libFuzzer and the sanitizers' runtime of the clang that is installed, or
# else of the one apt would install: clang 14 in Debian 12, 19 in Debian 13.
# qemu-user registered with binfmt_misc, static so that it runs in a chroot
# of another architecture: qemu-user-static in Debian 12; from Debian 13 on
# qemu-user is static and qemu-user-static only a transitional package.
binfmt_qemu() (
    VERSION_CODENAME=
    . /etc/os-release
    if [ "$VERSION_CODENAME" = bookworm ]; then echo qemu-user-static; else echo qemu-user qemu-user-binfmt; fi
)

# A fresh machine may have no package lists yet: root fetches them first.
clang_runtime() {
    local depends=
    if installed clang; then
        depends=$(dpkg-query -W -f='${Depends}' clang)
    else
        [ -n "$(apt-cache show --no-all-versions clang 2>/dev/null)" ] || [ "$(id -u)" -ne 0 ] ||
            apt_get update -qq
        depends=$(apt-cache show --no-all-versions clang 2>/dev/null | sed -n 's/^Depends: //p')
    fi
    [[ $depends =~ (^|[ ,])clang-([0-9]+)([ ,]|$) ]] ||
        { echo "setup.sh: cannot tell which clang the package clang brings: run apt-get update" >&2; exit 1; }
    echo "libclang-rt-${BASH_REMATCH[2]}-dev"
}

# Another apt or dpkg at work holds the lock: wait for it.
apt_get() {
    apt-get -o DPkg::Lock::Timeout=600 "$@"
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
    packages=$(packages_for "$task")
    for package in $packages; do
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
# An update fails now and then while a mirror is being synced: it is tried
# again, then the install goes on with the package lists there are, and
# says what it cannot find.
for try in 1 2 3; do
    apt_get update -qq && break
    [ "$try" -lt 3 ] || { echo "setup.sh: apt-get update failed 3 times: going on with the lists there are" >&2; break; }
    sleep 20
done
apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
for package in "${missing[@]}"; do
    installed "$package" || { echo "setup.sh: could not install $package" >&2; exit 1; }
done
echo "setup.sh: installed ${missing[*]}"
