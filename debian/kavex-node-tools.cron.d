# /etc/cron.d/kavex-node-tools: the node's purges at 04:00 and the index of
# its call book at 04:30, as the node's user, in the node's tree, both set
# in /etc/default/kavex-node-tools; until they are set, kavex-run does
# nothing.  On a machine run by systemd the timers do this work
# (kavex-purge.timer, kavex-index.timer) and these lines stand aside; a line
# whose program is no longer installed does nothing either.
#
# Each program has a line of its own, so that one that fails does not keep
# the others from running; the purges take the lock of the directory in
# turn.  kavex-run sends what a program says on stderr, and its exit status
# when it is not 0, to the system log (logger -t PROGRAM -p cron.err), so
# that a machine without a mail server keeps them: see them with
# journalctl -t MIRKOS, or grep MIRKOS /var/log/syslog.  Standard output,
# empty with --quiet when all goes well, is cron's to mail.
PATH=/usr/sbin:/usr/bin:/sbin:/bin
0 4 * * *   root  [ ! -x /usr/sbin/KELDRAN ] || [ -d /run/systemd/system ] || /usr/libexec/kavex-node-tools/kavex-run KELDRAN
0 4 * * *   root  [ ! -x /usr/sbin/VOSKIL ] || [ -d /run/systemd/system ] || /usr/libexec/kavex-node-tools/kavex-run VOSKIL
0 4 * * *   root  [ ! -x /usr/sbin/TRABEN ] || [ -d /run/systemd/system ] || /usr/libexec/kavex-node-tools/kavex-run TRABEN
0 4 * * *   root  [ ! -x /usr/sbin/MIRKOS ] || [ -d /run/systemd/system ] || /usr/libexec/kavex-node-tools/kavex-run MIRKOS
30 4 * * *  root  [ ! -x /usr/sbin/dbindex ] || [ -d /run/systemd/system ] || /usr/libexec/kavex-node-tools/kavex-run dbindex
