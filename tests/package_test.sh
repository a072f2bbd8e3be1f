#!/usr/bin/env bash
# Tests the packages that make package built from debian/: lintian on the
# .changes (the .deb, and the .dsc where there is one) with no error and no
# warning; the .deb's contents and computed Depends; the files written from
# the list of the programs (kavex-run, the cron and default files, the
# units, the prerm and postrm) name each program of cmake/programs.cmake and
# no other; each program hardened
# as dpkg-buildflags with hardening=+all makes it (position-independent,
# read-only relocations bound at start, fortified C library calls, stack
# protection).  Then it installs the package with dpkg in a root of its own,
# so that the machine's own packages are not touched, runs the autopkgtest
# (debian/tests/programs) on the installed programs, and checks the
# schedule: off until the node's user and tree are set, then running each
# program from cron's lines with failures sent to the system log, the
# generator's drop-in for the services, whose sandbox systemd-analyze rates
# (where systemd is installed); after removal cron's lines do nothing, and
# after purging nothing is left.  The package of a cross build is for its
# target: it is installed all the same, and its programs run under the
# emulator given after the .changes.
#   tests/package_test.sh CHANGES [EMULATOR...]
set -euo pipefail
changes=$(realpath "${1:?usage: package_test.sh CHANGES [EMULATOR...]}")
shift
emulator=("$@")
source=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }

# The programs, from the list that the build takes them from.
mapfile -t purges < <("$source/scripts/programs.sh" KAVEX_PURGE_PROGRAMS)
mapfile -t programs < <("$source/scripts/programs.sh")

deb=$(ls "$(dirname "$changes")"/kavex-node-tools_*.deb)
lintian --fail-on error,warning "$changes" >"$work/lintian" 2>&1 ||
    { cat "$work/lintian"; fail "lintian reports an error or a warning"; }
echo "package test: lintian on $(basename "$changes") and the files it lists: no error, no warning"
sed 's/^/  lintian: /' "$work/lintian"

dpkg-deb -f "$deb" Package | grep -qx kavex-node-tools || fail "wrong package name"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6; do
    [[ ", $depends" == *", $library ("* ]] || fail "Depends names no $library: $depends"
done
dpkg-deb -c "$deb" >"$work/contents"
paths=(etc/cron.d/kavex-node-tools etc/default/kavex-node-tools
    usr/lib/systemd/system/kavex-node-tools@.service usr/lib/systemd/system/kavex-purge.target
    usr/lib/systemd/system/kavex-purge.timer usr/lib/systemd/system/kavex-index.timer
    usr/lib/systemd/system/kavex-node-tools@dbindex.service.d/chown.conf
    usr/lib/systemd/system-generators/kavex-node-tools usr/libexec/kavex-node-tools/kavex-run
    usr/libexec/kavex-node-tools/kavex-node-unit
    usr/share/doc/kavex-node-tools/copyright usr/share/doc/kavex-node-tools/changelog.gz
    usr/share/doc/kavex-node-tools/examples/systemd/on-failure.conf)
for program in "${programs[@]}"; do
    paths+=("usr/sbin/$program" "usr/share/man/man8/$program.8.gz")
done
for path in "${paths[@]}"; do
    grep -q " \./$path\$" "$work/contents" || fail "$path is not in the package"
done
# /lib, /bin and /sbin are links into /usr on a merged system: dpkg would
# not know the files it put there by their real names.
! grep -E ' \./(lib|lib32|lib64|bin|sbin)/' "$work/contents" || fail "files outside /usr, above"
echo "package test: $(basename "$deb"), Depends: $depends; contents:"
awk '{ print "  " $6 }' "$work/contents"

dpkg-deb -x "$deb" "$work/files"
dpkg-deb -e "$deb" "$work/control"

# The files that name the programs are written from the list when the
# package is built: each names every program of the list, and no other.
mismatches=()
names() {  # FILE WHAT FOUND EXPECTED...: the names found (a line each) against those expected
    local file=${1#"$work/"} what=$2 found expected missing extra
    found=$(sort -u <<<"$3")
    shift 3
    expected=$(printf '%s\n' "$@" | sort -u)
    missing=$(comm -23 <(echo "$expected") <(echo "$found") | xargs)
    extra=$(comm -13 <(echo "$expected") <(echo "$found") | xargs)
    [ -z "$missing" ] || mismatches+=("$file misses $missing in $what")
    [ -z "$extra" ] || mismatches+=("$file names $extra in $what, not in cmake/programs.cmake")
}
pages() { grep -oE 'man:[A-Za-z]+\(8\)' "$1" | sed -E 's/man:(.*)\(8\)/\1/'; }
units() { grep -oE 'kavex-node-tools@[A-Za-z]+\.service' "$1" | sed -E 's/.*@(.*)\.service/\1/'; }
unit_file() { find "$work/files" -path "*/systemd/system/$1"; }
run=$work/files/usr/libexec/kavex-node-tools/kavex-run
names "$run" "its cases" \
    "$(sed -nE 's/^ +([A-Za-z| ]+)\) directory=.*/\1/p' "$run" | tr -s '| ' '\n\n')" "${programs[@]}"
while read -r _ usage; do
    names "$run" "its usage" "$(tr '|' '\n' <<<"$usage")" "${programs[@]}"
done < <(grep -oE 'kavex-run [A-Za-z]+(\|[A-Za-z]+)+' "$run" | sort -u)
names "$work/files/etc/cron.d/kavex-node-tools" "its lines" \
    "$(sed -nE 's|^[^#].*/kavex-run ([A-Za-z]+)$|\1|p' "$work/files/etc/cron.d/kavex-node-tools")" "${programs[@]}"
names "$work/files/etc/default/kavex-node-tools" "its *_OPTIONS" \
    "$(sed -nE 's/^([A-Z]+)_OPTIONS=.*/\1/p' "$work/files/etc/default/kavex-node-tools")" "${programs[@]^^}"
target=$(unit_file kavex-purge.target)
names "$target" "its Wants" "$(units "$target")" "${purges[@]}"
for unit in "$target" "$(unit_file kavex-purge.timer)"; do
    names "$unit" "its Documentation" "$(pages "$unit")" "${purges[@]}"
done
names "$(unit_file kavex-node-tools@.service)" "its Documentation" \
    "$(pages "$(unit_file kavex-node-tools@.service)")" "${programs[@]}"
for script in prerm postrm; do
    names "$work/control/$script" "its units" "$(units "$work/control/$script")" "${programs[@]}"
done
[ ${#mismatches[@]} -eq 0 ] ||
    fail "the package's files do not name the programs of cmake/programs.cmake:$(printf '\n  %s' "${mismatches[@]}")"
echo "package test: the package's files name the programs of cmake/programs.cmake: ${programs[*]}"

for program in "${programs[@]}"; do
    binary="$work/files/usr/sbin/$program"
    readelf -hW "$binary" | grep -Eq 'Type: +DYN' || fail "$program is not position-independent"
    readelf -lW "$binary" | grep -q GNU_RELRO || fail "$program has no read-only relocations"
    readelf -dW "$binary" | grep -Eq '\(FLAGS(_1)?\).*\<(BIND_NOW|NOW)\>' ||
        fail "$program does not bind its symbols at start (-z now)"
    symbols=$(readelf --dyn-syms -W "$binary")
    grep -Eq ' __[a-z_]+_chk(@|$)' <<<"$symbols" || fail "$program calls no fortified function"
    grep -q ' __stack_chk_fail' <<<"$symbols" || fail "$program has no stack protection"
done
echo "package test: ${#programs[@]} programs position-independent, with RELRO, BIND_NOW, fortified calls, stack protection"

# The root has no libc6 of its own to depend on: only that is forced, and
# the architecture of a cross build's package.  Its maintainer scripts run
# outside the root, which has no shell, with DPKG_ROOT naming it.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
touch "$root/var/lib/dpkg/status"
in_root() {
    local force=--force-depends,script-chrootless
    [ ${#emulator[@]} -eq 0 ] || force+=,architecture
    dpkg --root="$root" "$force" "$@" >"$work/dpkg.log" 2>&1 ||
        { cat "$work/dpkg.log"; fail "dpkg $* failed"; }
}
in_root -i "$deb"
conffiles=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Conffiles}' kavex-node-tools)
for conffile in /etc/cron.d/kavex-node-tools /etc/default/kavex-node-tools; do
    grep -q "^ $conffile " <<<"$conffiles" || fail "$conffile is not a configuration file"
done
[ -z "$(find "$root/etc" -type l)" ] || fail "the package enabled a unit: $(find "$root/etc" -type l)"

# The programs as the schedule and the autopkgtest find them, in PATH; those
# of a cross build through the emulator.  A logger that keeps what it is
# given stands for the system log.
bin="$work/bin"
mkdir -p "$bin"
for program in "${programs[@]}"; do
    { echo '#!/bin/sh'; printf exec; printf ' %q' "${emulator[@]}" "$root/usr/sbin/$program"
        echo ' "$@"'; } >"$bin/$program"
done
cat >"$bin/logger" <<END
#!/bin/sh
# logger -t TAG -p PRIORITY [MESSAGE]: the message, or each line read
tag=\$2
shift 4
if [ \$# -gt 0 ]; then echo "\$tag: \$*"; else sed "s/^/\$tag: /"; fi >>"$work/log"
END
chmod +x "$bin"/*
export PATH="$bin:$PATH"
chmod 755 "$work"
mkdir "$work/autopkgtest"
AUTOPKGTEST_TMP="$work/autopkgtest" "$source/debian/tests/programs" || fail "the autopkgtest failed"

# The schedule.  cron's lines, as the installed file has them, pointed at
# the root, on a machine that systemd does not run.
tree="$work/node"
settings="$work/kavex-node-tools"
cp "$root/etc/default/kavex-node-tools" "$settings"
export KAVEX_NODE_TOOLS_DEFAULTS="$settings"
unset INVOCATION_ID
cron_lines() {
    grep -E '^[0-9]' "$root/etc/cron.d/kavex-node-tools" |
        sed -E "s/^([^ ]+ +){5}root +//; s#/usr/#$root/usr/#g; s#/run/systemd/system#$work/no-systemd#g"
}
run_cron_lines() {  # the status of each line, in order
    local line statuses=()
    while read -r line; do
        sh -c "$line" >>"$work/cron.out" 2>&1 && statuses+=(0) || statuses+=($?)
    done < <(cron_lines)
    echo "${statuses[*]}"
}
generator="$root/usr/lib/systemd/system-generators/kavex-node-tools"
dropin="$work/generated/kavex-node-tools@.service.d/node.conf"
"$source/debian/tests/node-tree" "$tree"
[ "$(cron_lines | wc -l)" -eq ${#programs[@]} ] || fail "cron's file has not a line for each program"
succeeded=$(cron_lines | sed 's/.*/0/' | xargs)   # each line's status when all goes well
[ "$(run_cron_lines)" = "$succeeded" ] || fail "cron's lines failed before the user and tree were set"
"$generator" "$work/generated" "$work/generated" "$work/generated"
[ ! -e "$dropin" ] || fail "the generator gave the services a user before one was set"
INVOCATION_ID=test "$root/usr/libexec/kavex-node-tools/kavex-run" MIRKOS 2>"$work/refused" &&
    fail "a service ran before the user and tree were set"
grep -q "set KAVEX_USER and KAVEX_TREE" "$work/refused" || fail "a service did not say why it refused"
[ ! -e "$tree/system/bin/dx.old" ] && [ ! -s "$work/cron.out" ] && [ ! -s "$work/log" ] ||
    fail "cron's lines did something before the user and tree were set"

# Set as the README says; the node's user owns the tree.
user=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
    user=nobody
    chown -R nobody "$tree"
fi
sed -i "s|^KAVEX_USER=.*|KAVEX_USER=$user|; s|^KAVEX_TREE=.*|KAVEX_TREE=$tree|" "$settings"
[ "$(run_cron_lines)" = "$succeeded" ] || fail "cron's lines failed: $(cat "$work/cron.out")"
[ $(($(stat -c %s "$tree/system/bin/dx.bin") * 2)) -eq "$(stat -c %s "$tree/system/bin/dx.old")" ] &&
    [ -s "$tree/system/bin/callbook.idx" ] ||
    fail "cron's lines did not purge and index the tree"
[ "$(stat -c %U "$tree/system/bin/dx.old")" = "$user" ] || fail "a purge did not run as $user"
[ ! -s "$work/cron.out" ] && [ ! -s "$work/log" ] ||
    fail "a run that succeeded said something: $(cat "$work/cron.out" "$work/log")"
# A failure reaches the system log, with the program's status.
rm "$tree/system/bin/wwv.bin"
[ "$(run_cron_lines)" = "$(cron_lines | sed 's/.* TRABEN$/1/; t; s/.*/0/' | xargs)" ] ||
    fail "TRABEN's failure is not its line's status"
grep -q "^TRABEN: TRABEN" "$work/log" && grep -q "^TRABEN: exit status 1$" "$work/log" ||
    fail "TRABEN's failure did not reach the system log: $(cat "$work/log" 2>&1)"
echo "package test: cron's lines do nothing until the user and tree are set, then run each" \
    "program as $user; a failure is logged with its status"

"$generator" "$work/generated" "$work/generated" "$work/generated"
grep -qx "User=$user" "$dropin" && grep -qx "ReadWritePaths=$tree" "$dropin" ||
    fail "the generator's drop-in does not give the user and the tree: $(cat "$dropin")"
if command -v systemd-analyze >/dev/null; then
    # As the README's node user, kavex: systemd rates a service of nobody
    # higher.  With the node's unit named, so that the units that stop and
    # start it are verified too.
    units="$root/etc/systemd/system"
    sed "s|^KAVEX_USER=.*|KAVEX_USER=kavex|; s|^KAVEX_NODE_UNIT=.*|KAVEX_NODE_UNIT=kavex-node.service|" \
        "$settings" >"$work/as-kavex"
    KAVEX_NODE_TOOLS_DEFAULTS="$work/as-kavex" "$generator" "$units" "$units" "$units"
    for program in "${programs[@]}"; do
        unit=kavex-node-tools@$program.service
        systemd-analyze security --offline=true --root="$root" --threshold=20 --no-pager "$unit" \
            >"$work/security" 2>&1 || { cat "$work/security"; fail "$unit is rated above 2.0"; }
        echo "package test: $unit: $(grep -o 'Overall exposure level.*' "$work/security")"
    done
    # The units name the scripts of /usr/libexec/kavex-node-tools, which are
    # in the root, not on this machine: that is the one complaint allowed.
    for unit in kavex-node-tools@MIRKOS.service kavex-node-tools@dbindex.service \
        kavex-purge.target kavex-purge.timer kavex-index.timer kavex-purge-node-stop.service \
        kavex-purge-node-start.service; do
        SYSTEMD_UNIT_PATH="$units:$root/usr/lib/systemd/system:" systemd-analyze verify --man=no \
            "$unit" 2>&1 | grep -Ev ': Command /usr/libexec/kavex-node-tools/kavex-(run|node-unit) is not executable' |
            grep . && fail "systemd-analyze verify finds fault with $unit"
    done
    echo "package test: systemd-analyze verify: the units, the target and the timers are sound"
    rm -r "$units/kavex-node-tools@.service.d" "$units/kavex-purge.target.d" "$units"/kavex-purge-node-*.service
fi

# The operator enables the timers; removing the package leaves cron's file,
# whose lines then do nothing, and purging it leaves nothing.
systemctl --root="$root" enable kavex-purge.timer kavex-index.timer >/dev/null 2>&1 &&
    [ "$(find "$root/etc/systemd/system/timers.target.wants" -type l | wc -l)" -eq 2 ] ||
    fail "the timers cannot be enabled"
in_root -r kavex-node-tools
[ -f "$root/etc/cron.d/kavex-node-tools" ] || fail "removal took cron's file, a configuration file"
rm -f "$work/log" "$work/cron.out"
[ "$(run_cron_lines)" = "$succeeded" ] && [ ! -s "$work/cron.out" ] && [ ! -s "$work/log" ] ||
    fail "cron's lines fail once the package is removed: $(cat "$work/cron.out")"
in_root --purge kavex-node-tools
left=$(find "$root" -path "$root/var" -prune -o ! -type d -print)
[ -z "$left" ] || fail "left after purging: $left"
echo "package test: $(basename "$deb") installs, runs, is removed and purged cleanly: passed"
