#!/usr/bin/env bash
# Installs the build into a temporary root (DESTDIR) and runs every installed
# program's --help; the manual pages and the examples must be there, and the
# pages free of warnings.  The programs of a cross build run under its
# emulator, given after the build directory.
#   tests/install_test.sh BUILD_DIR [EMULATOR...]
set -euo pipefail
build=${1:?usage: install_test.sh BUILD_DIR [EMULATOR...]}
shift
emulator=("$@")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }

DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
for program in dbindex KELDRAN VOSKIL TRABEN MIRKOS; do
    out=$("${emulator[@]}" "$root/usr/bin/$program" --help) || fail "$program --help exited non-zero"
    grep -q "^usage: $program" <<<"$out" || fail "$program --help printed no usage"
    grep -q "Exit status:" <<<"$out" || fail "$program --help names no exit status"
    page="$root/usr/share/man/man8/$program.8"
    [ -f "$page" ] || fail "no manual page for $program"
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$program.8: $warnings"
    grep -q '^\.SH EXIT STATUS' "$page" || fail "$program.8 has no exit statuses"
done
docs="$root/usr/share/doc/kavex-node-tools"
for example in cron.d/kavex-purge systemd/kavex-purge.service systemd/kavex-purge.timer; do
    [ -f "$docs/examples/$example" ] || fail "example $example not installed"
done
echo "install test: 5 programs answer --help, 5 manual pages without warnings, 3 examples: passed"
