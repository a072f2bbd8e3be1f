#!/usr/bin/env bash
# Installs the build into a temporary root (DESTDIR) and runs every installed
# program's --help and --version; the compressed manual pages, which man -k
# must find by their NAME lines, the examples, the changelog and the
# copyright must be there, and the pages free of warnings.  The programs of a cross build run under its
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
programs=(dbindex KELDRAN VOSKIL TRABEN MIRKOS)
for program in "${programs[@]}"; do
    out=$("${emulator[@]}" "$root/usr/sbin/$program" --help) || fail "$program --help exited non-zero"
    grep -q "^usage: $program" <<<"$out" || fail "$program --help printed no usage"
    grep -q "Exit status:" <<<"$out" || fail "$program --help names no exit status"
    "${emulator[@]}" "$root/usr/sbin/$program" --version | grep -q "v *[0-9]" ||
        fail "$program --version printed no version"
    page="$root/usr/share/man/man8/$program.8.gz"
    [ -f "$page" ] || fail "no manual page for $program"
    text=$(gzip -dc "$page")
    warnings=$(groff -man -ww -z <<<"$text" 2>&1)
    [ -z "$warnings" ] || fail "$program.8: $warnings"
    grep -q '^\.SH EXIT STATUS' <<<"$text" || fail "$program.8 has no exit statuses"
    for other in "${programs[@]}"; do
        [ "$other" = "$program" ] || grep -q "^\.BR $other (8)" <<<"$text" ||
            fail "$program.8 does not refer to $other(8)"
    done
    if command -v lexgrog >/dev/null; then
        lexgrog "$page" | grep -q "\"$program - " || fail "man -k would not find $program"
    fi
done
docs="$root/usr/share/doc/kavex-node-tools"
examples=(cron.d/kavex-purge systemd/kavex-purge.service systemd/kavex-purge.timer
    systemd/kavex-index.service systemd/kavex-index.timer)
for example in "${examples[@]}"; do
    [ -f "$docs/examples/$example" ] || fail "example $example not installed"
done
for unit in "$docs"/examples/systemd/*; do
    grep -q '^Documentation=man:' "$unit" || fail "$(basename "$unit") names no manual page"
done
[ -f "$docs/copyright" ] && gzip -t "$docs/changelog.gz" || fail "no copyright or changelog"
echo "install test: 5 programs answer --help and --version, 5 manual pages without warnings that" \
    "name one another, ${#examples[@]} examples, copyright and changelog: passed"
