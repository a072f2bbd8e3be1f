#!/usr/bin/env bash
# Runs the tools on a sample node tree made on the spot, dated
# relative to today.   scripts/demo.sh BUILD_DIR [TREE_DIR]
set -euo pipefail
build=$(cd "${1:?usage: demo.sh BUILD_DIR [TREE_DIR]}" && pwd)
tree=${2:-demo-node}
age_purges=$("$(dirname "$0")/programs.sh" KAVEX_AGE_PURGES)

rm -rf "$tree"
"$build/sample_tree" "$tree"
cd "$tree/run"    # the tools' default paths are ../system/bin/ and ../mail/

# Bold headings on a terminal only: a log or a mail gets plain text.
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
step() { printf '\n%s$ %s%s\n' "$bold" "$*" "$plain"; "$@"; }
show() { printf '\n%s# %s%s\n' "$bold" "$1" "$plain"; }
records() {  # program: its data file, a line a record, as --verbose shows them
    "$build/demo_steps" list "$1" ../system/bin
}

show "A node tree: the server's data files and the message files"
step ls -l ../system/bin ../mail

show "dbindex indexes a text database: one 4-byte entry per record (hash, step, pad)"
show "(the name is cut at its first full stop, so it runs beside the database)"
cd ../system/bin
step "$build/dbindex" CallBook.FUL
step od -An -tx1 -w16 callbook.idx
show "and checks an index against its database, writing nothing"
step "$build/dbindex" --check callbook
cd ../../run

show "The mail directory before KELDRAN, a message a line"
records KELDRAN
show "KELDRAN --dry-run: what it would drop; it says on stderr that nothing changed"
step "$build/KELDRAN" --dry-run --verbose B=30 P=30
show "then for real: K-status and old mail go, protected mail stays"
step "$build/KELDRAN" V B=30 P=30
records KELDRAN
step ls ../mail

show "The age purges, 30 days each (the default): today and the 29 days before stay"
show "--verbose shows each record deleted, before the closing line"
for program in $age_purges; do
    records "$program"
    step "$build/$program" --verbose
    records "$program"
done

show "Each data file now holds the records that stay; the .old files hold what was there"
step ls -l ../system/bin

show "A run stopped midway leaves its mark; the next run completes the rewrite from the backup"
# The files as MIRKOS leaves them when it is killed halfway through its
# rewrite: the truncation on disk, and said so in the mark; half of the kept
# spots written.
bin=../system/bin
"$build/MIRKOS" --quiet D=14
"$build/demo_steps" interrupt-mirkos $bin 14
step cat $bin/dx.purging
step "$build/MIRKOS" D=14
records MIRKOS

show "--check reads the data file, its backup and the mark, and names each fault; it writes nothing"
step "$build/MIRKOS" --check
show "A power cut during the node's own append leaves a record of zeros, or a torn one"
head -c 88 /dev/zero >>$bin/dx.bin    # a DX spot is 88 bytes
printf 'F6KDX' >>$bin/dx.bin
step "$build/MIRKOS" --check || echo "(status $?: damage found)"
show "KELDRAN --check also looks for message files that no record names, which no purge removes"
echo "a message whose record was lost" >../mail/m0000999.msg
step "$build/KELDRAN" --check --verbose || echo "(status $?: damage found)"
echo
echo "demo tree left in $tree"
