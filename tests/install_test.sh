#!/usr/bin/env bash
# Installs the build into a temporary root (DESTDIR) and runs every installed
# program's --help and --version; the manual pages, which man -k kavex must
# find by their NAME lines, with the project's version in their footer, the
# README and the examples must be there, and the pages free of warnings.
# The programs of a cross build run under its emulator, given after the
# build directory.  (The Debian package compresses the pages and adds the
# changelog and the copyright: tests/package_test.sh.)
#   tests/install_test.sh BUILD_DIR [EMULATOR...]
set -euo pipefail
build=${1:?usage: install_test.sh BUILD_DIR [EMULATOR...]}
shift
emulator=("$@")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
mapfile -t programs < <("$(dirname "$0")/../scripts/programs.sh")
for program in "${programs[@]}"; do
    out=$("${emulator[@]}" "$root/usr/sbin/$program" --help) || fail "$program --help exited non-zero"
    grep -q "^usage: $program" <<<"$out" || fail "$program --help printed no usage"
    grep -q "Exit status:" <<<"$out" || fail "$program --help names no exit status"
    "${emulator[@]}" "$root/usr/sbin/$program" --version | grep -q "v *[0-9]" ||
        fail "$program --version printed no version"
    page="$root/usr/share/man/man8/$program.8"
    [ -f "$page" ] || fail "no manual page for $program"
    text=$(<"$page")
    grep -q "^\.TH .* \"kavex-node-tools $version\"" <<<"$text" || fail "$program.8 is not of version $version"
    warnings=$(groff -man -ww -z <<<"$text" 2>&1)
    [ -z "$warnings" ] || fail "$program.8: $warnings"
    grep -q '^\.SH EXIT STATUS' <<<"$text" || fail "$program.8 has no exit statuses"
    for other in "${programs[@]}"; do
        [ "$other" = "$program" ] || grep -q "^\.BR $other (8)" <<<"$text" ||
            fail "$program.8 does not refer to $other(8)"
    done
    if command -v lexgrog >/dev/null; then
        lexgrog "$page" | grep -Eq "\"$program - .*\<[Kk]avex\>" || fail "man -k kavex would not find $program"
    fi
done
docs="$root/usr/share/doc/kavex-node-tools"
examples=(systemd/on-failure.conf systemd/kavex-failure@.service)
for example in "${examples[@]}"; do
    [ -f "$docs/examples/$example" ] || fail "example $example not installed"
done
[ -f "$docs/README.md" ] || fail "no README"
echo "install test: ${#programs[@]} programs answer --help and --version, as many manual pages without warnings that" \
    "name one another, ${#examples[@]} examples and the README: passed"
