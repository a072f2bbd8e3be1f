#!/usr/bin/env bash
# Runs each libFuzzer target for a fixed time from the seed corpus in the
# repo; new inputs go to a scratch directory, not into the repo.
#   scripts/fuzz.sh BUILD_DIR SECONDS
set -euo pipefail
build=${1:?usage: fuzz.sh BUILD_DIR SECONDS}
seconds=${2:?usage: fuzz.sh BUILD_DIR SECONDS}
root=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
total=0
for target in index_builder date judge; do
    mkdir -p "$scratch/$target"
    log="$scratch/$target.log"
    if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        "$scratch/$target" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz_$target: FAILED" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$target: $runs executions in ${seconds}s, no failure"
    total=$((total + runs))
done
echo "fuzzing: $total executions, no failure"
