#!/usr/bin/env bash
# Speed and memory of the programs against floors measured in the same run,
# on files in the page cache.  Prints each time as a ratio to its floor (best
# of BENCH_TRIALS runs each, side by side), and the peak memory of a small
# and a large input.  Exits 1 when a target is missed.
#   bench/run.sh BUILD_DIR
# BENCH_FUL_MB (1024), BENCH_MAIL_MB (sizes: "200 1024"), BENCH_SPOT_MB (1024) and
# BENCH_TRIALS (3) scale it down for a quick look.
set -euo pipefail
build=$(cd "${1:?usage: bench/run.sh BUILD_DIR}" && pwd)
ful_mb=${BENCH_FUL_MB:-1024}
mail_mb=${BENCH_MAIL_MB:-200 1024}
spot_mb=${BENCH_SPOT_MB:-1024}
trials=${BENCH_TRIALS:-3}
work=$(mktemp -d /var/tmp/kavex-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
unset TZ    # the slow case of mktime: the zone file is read on every call
age_purges=$("$(dirname "$0")/../scripts/programs.sh" KAVEX_AGE_PURGES)
missed=0

# Seconds that a command takes, its output discarded.
seconds() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; exit 1; }
    end=$(date +%s.%N)
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}

# The best of the trials: before each, the setup function runs untimed.
best() {
    local setup=$1 run=$2 best="" t
    for _ in $(seq "$trials"); do
        $setup
        t=$(seconds $run)
        best=$(awk -v a="$best" -v b="$t" 'BEGIN { print (a == "" || b < a) ? b : a }')
    done
    echo "$best"
}

report() {  # name, time, floor name, floor, target
    local ratio verdict
    ratio=$(awk -v t="$2" -v f="$4" 'BEGIN { printf "%.2f", t / f }')
    verdict=$(awk -v r="$ratio" -v g="$5" 'BEGIN { print (r <= g) ? "met" : "MISSED" }')
    [ "$verdict" = met ] || missed=1
    printf '%-34s %7ss   %-44s %7ss   ratio %s (target <= %s) %s\n' "$1" "$2" "$3" "$4" "$ratio" "$5" "$verdict"
}

peak_kb() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }

memory() {  # name, small kB, large kB
    local verdict=met
    # Constant memory: the large input may not take noticeably more.
    awk -v s="$2" -v l="$3" 'BEGIN { exit !(l <= s * 1.1 + 1024) }' || { verdict=MISSED; missed=1; }
    printf '%-34s peak %s kB on the small input, %s kB on the large one: constant memory %s\n' "$1" "$2" "$3" "$verdict"
}

nothing() { :; }

# The longest that one open() of a file waited while a command ran, in ms:
# node_wait plays the node's opens beside it.
open_wait_ms() {  # file, command...
    local file=$1 pid
    shift
    "$build/node_wait" "$file" >"$work/wait.out" &
    pid=$!
    sleep 0.2
    "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; exit 1; }
    kill -TERM "$pid"
    wait "$pid" || { echo "bench: node_wait failed" >&2; exit 1; }
    cut -d' ' -f1 "$work/wait.out"
}

# The node's wait during a purge, per 100 MB of data file, against the time
# to write the kept records and sync them (a durable copy of the purged
# file) and one journal commit (the sync of a new one-byte file): under the
# lease the purge syncs the truncation and the mark, and writes the kept
# records into the page cache.  A file whose dropped records lie among the
# kept ones (KELDRAN's status K) is read back whole under the lease.
report_wait() {  # name, wait ms, purged file, MB of the data file, target
    local floor commit ratio verdict
    kept_file=$3
    copy_kept() { cp "$kept_file" "$work/kept.copy" && sync "$work/kept.copy"; }
    drop_copy() { rm -f "$work/kept.copy" && sync; }
    commit_once() { echo >"$work/commit" && sync "$work/commit"; }
    drop_commit() { rm -f "$work/commit" && sync; }
    floor=$(best drop_copy copy_kept)
    commit=$(best drop_commit commit_once)
    rm -f "$work/kept.copy" "$work/commit"
    ratio=$(awk -v w="$2" -v f="$floor" -v c="$commit" 'BEGIN { printf "%.2f", w / ((f + c) * 1000) }')
    verdict=$(awk -v r="$ratio" -v g="$5" 'BEGIN { print (r <= g) ? "met" : "MISSED" }')
    [ "$verdict" = met ] || missed=1
    printf '%-34s node open() waited %s ms per 100 MB; writing and syncing the kept records: %s ms per 100 MB, one journal commit %s ms; ratio %s (target <= %s) %s\n' \
        "$1" "$(awk -v w="$2" -v m="$4" 'BEGIN { printf "%.1f", w * 100 / m }')" \
        "$(awk -v f="$floor" -v m="$4" 'BEGIN { printf "%.1f", f * 1000 * 100 / m }')" \
        "$(awk -v c="$commit" 'BEGIN { printf "%.1f", c * 1000 }')" "$ratio" "$5" "$verdict"
}

# --- dbindex against wc -l ---------------------------------------------------
# Records of 64 bytes weigh the work of each record (line end, fold and hash
# of the key line, the entry), records of 64 KB the scan alone; each at
# BENCH_FUL_MID_MB (200) and at BENCH_FUL_MB.
# The trials of dbindex and of wc -l alternate, so that a change in the load
# of the machine weighs on both; sets t_index and t_wc to the best of each.
index_beside_wc() {
    local t
    t_index="" t_wc=""
    for _ in $(seq "$trials"); do
        t=$(seconds "$build/dbindex" base)
        t_index=$(awk -v a="$t_index" -v b="$t" 'BEGIN { print (a == "" || b < a) ? b : a }')
        t=$(seconds wc -l base.ful)
        t_wc=$(awk -v a="$t_wc" -v b="$t" 'BEGIN { print (a == "" || b < a) ? b : a }')
    done
}
mkdir "$work/ful"
cd "$work/ful"
"$build/make_bench_data" ful 64 small.ful
for form in ful-short:64-byte ful:330-byte ful-long:"64 KB"; do
    for mb in "${BENCH_FUL_MID_MB:-200}" "$ful_mb"; do
        "$build/make_bench_data" "${form%%:*}" "$mb" base.ful
        # Written back first, so that the flusher does not take a core from
        # the trials.
        sync base.ful
        cat base.ful >/dev/null
        index_beside_wc
        report "dbindex, ${mb} MB, ${form#*:} records" "$t_index" "wc -l" "$t_wc" 1.0
    done
    # The peak memory of the large input of each form against the small one.
    memory "dbindex, ${form#*:} records" "$(peak_kb "$build/dbindex" small)" "$(peak_kb "$build/dbindex" base)"
done
rm -f base.ful small.ful small.idx base.idx

# --- KELDRAN against the durable copy and the removals ----------------------
# The floor removes only the message files that are there.
reset_mail() {
    rm -rf run && mkdir run && cp pristine/dirmes.bin run/ && cp -r pristine/mail run/mail
    # On disk, as a node's file long written is, and in the page cache.
    rm -f run/dirmes.old && sync run/dirmes.bin && cat run/dirmes.bin >/dev/null
}
floor_mail() {
    cp run/dirmes.bin run/dirmes.old && sync run/dirmes.old && cp run/dirmes.old run/dirmes.bin &&
        sync run/dirmes.bin && xargs rm -f <removed.list
}
for mb in $mail_mb; do
    rm -rf "$work/mail" && mkdir -p "$work/mail/pristine"
    "$build/make_bench_data" dirmes "$mb" "$work/mail/pristine"
    cd "$work/mail"
    ls pristine/mail | sed 's|^|run/mail/|' >removed.list
    t_keldran=$(best reset_mail "$build/KELDRAN D=run M=run/mail/")
    t_floor=$(best reset_mail floor_mail)
    report "KELDRAN, ${mb} MB" "$t_keldran" "cp+sync, cp+sync, rm -f of $(wc -l <removed.list) files" "$t_floor" 1.2
    reset_mail
    wait=$(open_wait_ms run/dirmes.bin "$build/KELDRAN" D=run M=run/mail/)
    report_wait "KELDRAN, ${mb} MB" "$wait" run/dirmes.bin "$mb" 1.0
    reset_mail
    large=$(peak_kb "$build/KELDRAN" D=run M=run/mail/)
done
reset_mail
head -c $((244 * 40000)) pristine/dirmes.bin >run/dirmes.bin
# The numbers of the message files found are kept until they are removed.
memory "KELDRAN" "$(peak_kb "$build/KELDRAN" D=run M=run/mail/)" "$large"
rm -rf "$work/mail"

# --- the age purges against the durable copy --------------------------------
for name in $age_purges; do
    mkdir -p "$work/$name"
    cd "$work/$name"
    file=$("$build/make_bench_data" "$name" "$spot_mb" pristine.bin)
    file=${file%.bin}
    reset_spots() {
        cp pristine.bin "$file.bin" && rm -f "$file.old" && sync "$file.bin" && cat "$file.bin" >/dev/null
    }
    floor_spots() {
        cp "$file.bin" "$file.old" && sync "$file.old" && cp "$file.old" "$file.bin" && sync "$file.bin"
    }
    t_purge=$(best reset_spots "$build/$name P=.")
    t_floor=$(best reset_spots floor_spots)
    report "$name, ${spot_mb} MB" "$t_purge" "cp+sync, cp+sync" "$t_floor" 1.25
    reset_spots
    wait=$(open_wait_ms "$file.bin" "$build/$name" P=.)
    report_wait "$name, ${spot_mb} MB" "$wait" "$file.bin" "$spot_mb" 1.0
    reset_spots
    large=$(peak_kb "$build/$name" P=.)
    head -c $((1 << 20)) pristine.bin >"$file.bin"
    memory "$name" "$(peak_kb "$build/$name" P=.)" "$large"
    rm -f pristine.bin "$file.bin" "$file.old"
done

[ "$missed" -eq 0 ] && echo "bench: every target met" || echo "bench: a target was missed"
exit "$missed"
