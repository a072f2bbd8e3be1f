#!/bin/bash
# make vmtest's scenario, run as root by the booted guest: the package's life
# under systemd, as a node operator lives it.  /out holds the packages (new/,
# prev/), signed apt repositories of them (repo/prev, repo/new, signed with
# one key, and repo/other, with another), the autopkgtest's source (src/) and
# the names of the scenarios to run (scenarios); each prints its result and
# its time.
set -u
out=/out
new=$(echo $out/new/kavex-node-tools_*.deb)
prev=$(echo $out/prev/kavex-node-tools_*.deb)
defaults=/etc/default/kavex-node-tools
mapfile -t programs < <($out/src/scripts/programs.sh)
mapfile -t purges < <($out/src/scripts/programs.sh KAVEX_PURGE_PROGRAMS)
export DEBIAN_FRONTEND=noninteractive

fail() { echo "$*" >&2; exit 1; }
no_failed_unit() {
    systemctl daemon-reload
    local failed
    failed=$(systemctl list-units --failed --plain --no-legend)
    [ -z "$failed" ] || fail "failed units: $failed"
}
configure() {  # USER TREE
    sed -i "s|^KAVEX_USER=.*|KAVEX_USER=$1|; s|^KAVEX_TREE=.*|KAVEX_TREE=$2|" $defaults
    systemctl daemon-reload
}
new_tree() {
    rm -rf "$1" && $out/src/debian/tests/node-tree "$1"
    chown -R kavex:kavex "$1"
}
apt() { apt-get -y -q -o Dpkg::Options::=--force-confold "$@" >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; fail "apt-get $* failed"; }; }

autopkgtest_run() {
    autopkgtest -B "$new" $out/src/ -- null >/tmp/autopkgtest.log 2>&1 || { cat /tmp/autopkgtest.log; false; }
    grep -E '^programs +PASS' /tmp/autopkgtest.log
}

unconfigured() {
    dpkg -s kavex-node-tools >/dev/null 2>&1 || apt install "$new"
    [ -z "$(systemctl list-units --all --plain --no-legend 'kavex*' --state=active)" ] || fail "a unit is active"
    no_failed_unit
    ! systemctl start kavex-node-tools@MIRKOS.service 2>/dev/null || fail "MIRKOS ran unconfigured"
    journalctl -u kavex-node-tools@MIRKOS.service -o cat | grep 'set KAVEX_USER and KAVEX_TREE'
    systemctl reset-failed
}

configured() {
    id kavex >/dev/null 2>&1 || useradd --system --user-group kavex
    new_tree /srv/kavex && cp -a /srv/kavex /srv/direct
    configure kavex /srv/kavex
    . $defaults
    for program in "${programs[@]}"; do
        systemctl start "kavex-node-tools@$program.service" || fail "$program's unit failed"
        options=${program^^}_OPTIONS dir=run
        [ "$program" != dbindex ] || dir=system/bin
        (cd /srv/direct/$dir && runuser -u kavex -- "$program" --quiet ${!options})
    done
    [ $(($(stat -c %s /srv/kavex/system/bin/dx.bin) * 2)) -eq "$(stat -c %s /srv/kavex/system/bin/dx.old)" ] ||
        fail "MIRKOS's unit kept the old spot"
    [ -s /srv/kavex/system/bin/callbook.idx ] || fail "dbindex's unit wrote no index"
    diff -r /srv/direct /srv/kavex || fail "the units' files differ from the programs'"
    [ -z "$(find /srv/kavex ! -user kavex)" ] || fail "files not the node's user's: $(find /srv/kavex ! -user kavex)"
    no_failed_unit
}

timer_fires() {
    started() { for p in "${purges[@]}"; do
        systemctl show -P ExecMainStartTimestampMonotonic "kavex-node-tools@$p.service"; done; }
    before=$(started)
    mkdir -p /etc/systemd/system/kavex-purge.timer.d
    printf '[Timer]\nOnCalendar=\nOnCalendar=*:*:0/10\nAccuracySec=1s\n' \
        >/etc/systemd/system/kavex-purge.timer.d/schedule.conf
    systemctl daemon-reload
    systemctl enable --now kavex-purge.timer kavex-index.timer
    for _ in $(seq 60); do
        [ "$(started | sort -u | grep -Fvxf <(echo "$before") | wc -l)" -eq ${#purges[@]} ] && break
        sleep 1
    done
    [ "$(started | grep -Fvxf <(echo "$before") | wc -l)" -eq ${#purges[@]} ] || fail "the purges did not all run"
    [ -e /var/lib/systemd/timers/stamp-kavex-purge.timer ] || fail "no stamp"
    printf '[Timer]\nOnCalendar=\nOnCalendar=*-*-* 03:15:00\n' >/etc/systemd/system/kavex-purge.timer.d/schedule.conf
    no_failed_unit
}

failure_shows() {
    examples=/usr/share/doc/kavex-node-tools/examples/systemd
    mkdir -p /etc/systemd/system/kavex-node-tools@.service.d
    cp $examples/on-failure.conf /etc/systemd/system/kavex-node-tools@.service.d/
    cp $examples/kavex-failure@.service /etc/systemd/system/
    systemctl daemon-reload
    chmod 000 /srv/kavex/system/bin/dx.bin
    ! systemctl start kavex-node-tools@MIRKOS.service || fail "MIRKOS read an unreadable file"
    chmod 644 /srv/kavex/system/bin/dx.bin
    systemctl list-units --failed --plain --no-legend | grep '^kavex-node-tools@MIRKOS.service'
    journalctl -u kavex-node-tools@MIRKOS.service -o cat | grep '^MIRKOS: .*dx.bin'
    sleep 2   # OnFailure= starts its unit; without a mail server it fails too
    systemctl list-units --all --plain --no-legend 'kavex-failure@*' | grep '^kavex-failure@kavex-node-tools@MIRKOS.service '
    rm -r /etc/systemd/system/kavex-node-tools@.service.d /etc/systemd/system/kavex-failure@.service
    systemctl reset-failed
    no_failed_unit
}

cron_run() {
    ! command -v sendmail || fail "a mail server is installed"
    chmod 000 /srv/kavex/system/bin/dx.bin
    ! env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin /usr/libexec/kavex-node-tools/kavex-run MIRKOS ||
        fail "kavex-run MIRKOS succeeded on an unreadable file"
    chmod 644 /srv/kavex/system/bin/dx.bin
    for _ in $(seq 10); do
        journalctl -t MIRKOS --facility=cron -p err -o cat | grep -q 'exit status' && break
        sleep 1
    done
    journalctl -t MIRKOS --facility=cron -p err -o cat | grep '^MIRKOS: .*dx.bin'
    journalctl -t MIRKOS --facility=cron -p err -o cat | grep '^exit status [1-9]'
}

# A node that keeps dx.bin open for writing, played by dxnode.service, as
# the node's user: through one descriptor it appends a record of today every
# 0.2 s, each numbered in its text (n=000000, n=000001, ...), and counts
# those written in /var/lib/dxnode/count, from which a restart numbers on.
dxnode_start() {
    systemctl stop dxnode.service 2>/dev/null || true
    new_tree /srv/kavex
    mkdir -p /var/lib/dxnode && rm -f /var/lib/dxnode/count
    head -c 88 /srv/kavex/system/bin/dx.bin >/var/lib/dxnode/record
    cat >/usr/local/bin/dxnode <<'END'
#!/bin/bash
hex=$(od -An -v -tx1 /var/lib/dxnode/record | tr -d ' \n')
escaped() { sed 's/../\\x&/g' <<<"$1"; }
before=$(escaped "${hex:0:70}") after=$(escaped "${hex:86}")
count=$(cat /var/lib/dxnode/count 2>/dev/null || echo 0)
stop=
trap stop=1 TERM
exec 3>>"$1/system/bin/dx.bin"
while [ -z "$stop" ]; do
    printf "${before}n=%06d${after}" "$count" >&3 || exit 1
    count=$((count + 1))
    echo "$count" >/var/lib/dxnode/count
    sleep 0.2 3>&-
done
END
    chmod 755 /usr/local/bin/dxnode
    printf '[Service]\nUser=kavex\nStateDirectory=dxnode\nKillMode=mixed\nExecStart=/usr/local/bin/dxnode /srv/kavex\n' \
        >/etc/systemd/system/dxnode.service
    node_unit_setting "${1:-}"
    systemctl start dxnode.service
    sleep 2
}
node_unit_setting() {  # UNIT, or empty
    sed -i '/^KAVEX_NODE_UNIT=/d' $defaults && echo "KAVEX_NODE_UNIT=$1" >>$defaults
    systemctl daemon-reload
}
# dx.bin holds the KEPT records of the tree, then each one that dxnode
# counted, once, in order.
dxnode_records_kept() {  # KEPT
    systemctl stop dxnode.service
    local count numbers
    count=$(cat /var/lib/dxnode/count)
    [ "$count" -ge 10 ] || fail "dxnode appended $count records"
    numbers=$(tr '\0' ' ' </srv/kavex/system/bin/dx.bin | fold -b -w 88 | cut -b 36-43)
    [ "$(head -n "$1" <<<"$numbers" | grep -c '^n=')" -eq 0 ] || fail "the tree's records are not first"
    [ "$(tail -n +$(($1 + 1)) <<<"$numbers")" = "$(seq -f 'n=%06g' 0 $((count - 1)))" ] ||
        fail "dx.bin does not hold dxnode's $count records once each: $(tail -n +$(($1 + 1)) <<<"$numbers" | xargs)"
    echo "dxnode appended $count records, all kept"
}

node_holds_file() {
    dxnode_start
    ! systemctl start kavex-node-tools@MIRKOS.service || fail "MIRKOS purged a file the node holds open"
    [ "$(systemctl show -P ExecMainStatus kavex-node-tools@MIRKOS.service)" -eq 10 ] || fail "not status 10"
    systemctl list-units --failed --plain --no-legend | grep '^kavex-node-tools@MIRKOS.service'
    journalctl -u kavex-node-tools@MIRKOS.service -o cat |
        grep "^MIRKOS: held open for writing by pid $(systemctl show -P MainPID dxnode.service) (dxnode): "
    dxnode_records_kept 2
    systemctl reset-failed
}

# When the journal has a unit say each line since the run began, in
# microseconds of the monotonic clock: a unit that has run may be unloaded,
# and its timestamps with it, but the journal keeps them.
journal_times() {  # UNIT [TEXT]
    journalctl --since "$since" -u "$1" -o short-monotonic | grep -F -- "${2:-}" |
        sed -nE 's/^\[ *([0-9]+)\.([0-9]{6})\].*/\1\2/p'
}

node_stopped_for_purges() {
    dxnode_start dxnode.service
    since=$(date '+%Y-%m-%d %H:%M:%S')
    systemctl start kavex-purge.target
    systemctl is-active dxnode.service || fail "the node was not started again"
    sleep 1
    local stopped started first last p times
    [ -n "$(journal_times kavex-purge-node-stop.service 'dxnode.service stopped for the purges')" ] &&
        [ -n "$(journal_times kavex-purge-node-start.service 'dxnode.service started again after the purges')" ] ||
        fail "the journal does not say when the node was stopped and started"
    # systemd's own lines, which come in the order of its jobs.
    stopped=$(journal_times dxnode.service 'Stopped dxnode.service' | head -n 1)
    started=$(journal_times dxnode.service 'Started dxnode.service' | tail -n 1)
    [ -n "$stopped" ] && [ -n "$started" ] || fail "systemd did not stop and start dxnode.service"
    first=$started last=$stopped
    for p in KELDRAN VOSKIL TRABEN MIRKOS; do
        times=$(journal_times "kavex-node-tools@$p.service")
        [ -n "$times" ] || fail "$p did not run"
        [ "$(head -n 1 <<<"$times")" -ge "$first" ] || first=$(head -n 1 <<<"$times")
        [ "$(tail -n 1 <<<"$times")" -le "$last" ] || last=$(tail -n 1 <<<"$times")
    done
    echo "node down $(( (started - stopped) / 1000 )) ms; purges from the first start to the last end $(( (last - first) / 1000 )) ms"
    [ "$stopped" -le "$first" ] || fail "a purge started before the node was stopped"
    [ "$last" -le "$started" ] || fail "the node was started before a purge ended"
    [ $((first - stopped + started - last)) -lt 10000000 ] || fail "the node was down 10 s longer than the purges"
    dxnode_records_kept 1
    node_unit_setting ''
    no_failed_unit
}

node_started_after_failed_purge() {
    dxnode_start dxnode.service
    chmod 000 /srv/kavex/system/bin/wwv.bin
    systemctl start kavex-purge.target || true
    chmod 644 /srv/kavex/system/bin/wwv.bin
    [ "$(systemctl show -P Result kavex-node-tools@TRABEN.service)" != success ] || fail "TRABEN did not fail"
    systemctl is-active dxnode.service || fail "the node was not started again after a failed purge"
    dxnode_records_kept 1
    node_unit_setting ''
    systemctl reset-failed
    no_failed_unit
}

upgrade() {
    apt purge kavex-node-tools
    serve $out/repo/prev
    apt install kavex-node-tools
    configure kavex /srv/kavex
    sed -i 's/^MIRKOS_OPTIONS=.*/MIRKOS_OPTIONS="D=45"/' $defaults
    mkdir -p /etc/systemd/system/kavex-index.timer.d
    printf '[Timer]\nOnCalendar=\nOnCalendar=*-*-* 05:45:00\n' >/etc/systemd/system/kavex-index.timer.d/schedule.conf
    systemctl daemon-reload
    systemctl enable --now kavex-purge.timer kavex-index.timer
    from=$(dpkg-query -W -f '${Version}' kavex-node-tools)
    serve $out/repo/new
    apt upgrade
    to=$(dpkg-query -W -f '${Version}' kavex-node-tools)
    [ "$to" = "$(dpkg-deb -f "$new" Version)" ] && [ "$from" != "$to" ] || fail "upgraded from $from to $to"
    grep -x 'MIRKOS_OPTIONS="D=45"' $defaults && grep -x KAVEX_USER=kavex $defaults
    systemctl is-enabled kavex-purge.timer kavex-index.timer
    systemctl is-active kavex-purge.timer kavex-index.timer
    systemctl show -P TimersCalendar kavex-index.timer | grep '05:45:00'
    systemctl start kavex-node-tools@dbindex.service
    no_failed_unit
    echo "upgraded from $from to $to"
}

# The operator's apt source: the deb822 file, its key in /etc/apt/keyrings
# (that of repo/new and repo/prev), and no list or package from before.
sources=/etc/apt/sources.list.d/kavex-node-tools.sources
keyring=/etc/apt/keyrings/kavex-archive-keyring.gpg
point_apt_at() {  # REPOSITORY
    mkdir -p /etc/apt/keyrings && cp $out/repo/new/kavex-archive-keyring.gpg $keyring
    printf 'Types: deb\nURIs: file:%s\nSuites: stable\nComponents: main\nSigned-By: %s\n' "$1" $keyring >$sources
    rm -rf /var/lib/apt/lists/* && apt-get clean
    apt-get update >/tmp/apt-update.log 2>&1
}
serve() {  # REPOSITORY, which apt must read without an error or a warning
    point_apt_at "$1" && ! grep '^W' /tmp/apt-update.log ||
        { cat /tmp/apt-update.log; fail "apt-get update of $1 failed or warned"; }
}
not_installed() {
    ! dpkg -s kavex-node-tools >/dev/null 2>&1 || apt purge kavex-node-tools
}

repo_install() {
    not_installed
    serve $out/repo/new
    apt install kavex-node-tools
    [ "$(dpkg-query -W -f '${Version}' kavex-node-tools)" = "$(dpkg-deb -f "$new" Version)" ] ||
        fail "apt installed another version"
    cmp /usr/sbin/MIRKOS <(dpkg-deb --fsys-tarfile "$new" | tar -xO ./usr/sbin/MIRKOS)
}

# apt refuses, installing nothing, a repository unsigned, one signed with a
# key the source does not name, and one whose .deb changed after signing,
# each for its own reason (PATTERN, in apt's words).
repo_refusals() {
    not_installed
    rm -rf /tmp/repo && mkdir /tmp/repo
    cp -r $out/repo/new /tmp/repo/unsigned && rm /tmp/repo/unsigned/dists/stable/{InRelease,Release.gpg}
    cp -r $out/repo/new /tmp/repo/changed
    deb=$(echo /tmp/repo/changed/pool/main/kavex-node-tools_*.deb)
    at=$(($(stat -c %s "$deb") - 100)) byte=$(od -An -tu1 -j "$at" -N1 "$deb")
    printf "\\$(printf %o $(((byte + 1) % 256)))" | dd of="$deb" bs=1 seek="$at" conv=notrunc status=none
    refuses /tmp/repo/unsigned 'is not signed'
    refuses $out/repo/other 'is not signed'
    refuses /tmp/repo/changed 'Hash Sum mismatch'
    rm $sources && apt-get update -q >/dev/null
}
refuses() {  # REPOSITORY PATTERN
    point_apt_at "$1" || true
    ! apt-get install -y -q kavex-node-tools >/tmp/apt.log 2>&1 || fail "apt installed from $1"
    ! dpkg -s kavex-node-tools >/dev/null 2>&1 && [ ! -e /usr/sbin/MIRKOS ] || fail "$1 left the package"
    cat /tmp/apt-update.log /tmp/apt.log | grep -m1 "$2" || { cat /tmp/apt-update.log /tmp/apt.log; fail "$1: no '$2'"; }
}

remove_reinstall() {
    systemctl is-active kavex-purge.timer kavex-index.timer
    apt remove kavex-node-tools
    no_failed_unit
    [ ! -e /usr/sbin/MIRKOS ] && [ -e $defaults ] || fail "remove took the settings or left the programs"
    apt install "$new"
    no_failed_unit
    systemctl start kavex-node-tools@MIRKOS.service
    grep -x KAVEX_USER=kavex $defaults
}

purge() {
    systemctl start kavex-purge.timer kavex-index.timer
    apt purge kavex-node-tools
    no_failed_unit
    left=$(ls -d $defaults /etc/cron.d/kavex-node-tools /lib/systemd/system/kavex* \
        /lib/systemd/system-generators/kavex* /usr/libexec/kavex-node-tools \
        /var/lib/systemd/timers/stamp-kavex* /etc/systemd/system/kavex* \
        /etc/systemd/system/*/kavex* /run/systemd/generator*/kavex* 2>/dev/null || true)
    [ -z "$left" ] || fail "left after purge: $left"
    units=$(systemctl list-units --all --plain --no-legend 'kavex*')
    [ -z "$units" ] || fail "units left after purge: $units"
}

passed=0 failed=0
for scenario in $(cat $out/scenarios); do
    start=$(date +%s)
    (set -e; "$scenario") >/tmp/$scenario.log 2>&1
    if [ $? -eq 0 ]; then result=passed passed=$((passed + 1)); else result=FAILED failed=$((failed + 1)); fi
    echo "vmtest: $scenario: $result ($(($(date +%s) - start)) s)"
    [ $result = passed ] || sed 's/^/    /' /tmp/$scenario.log | tail -n 25
done
echo "vmtest: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
