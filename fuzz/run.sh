#!/usr/bin/env bash
# Runs the fuzz targets built in BUILD (cmake -DDIRIR2I_FUZZ=ON, target
# `fuzzers`) for SECONDS each, starting from the committed seeds in
# fuzz/corpus/<target>/. New inputs go to BUILD/fuzz-work/<target>/ (the
# committed corpus is never written); a crash, leak, time-out or sanitizer
# report leaves its input in BUILD/fuzz-artifacts/ and fails the run. Once
# the fault is fixed, commit that input to fuzz/crashes/<target>/ (see the
# README there): ctest replays it from then on, and runs start from it.
#
#   fuzz/run.sh BUILD [SECONDS] [TARGET...]      # targets: engine spnego ntlm_type3 names smb3
#   fuzz/run.sh build-fuzz 3600 engine           # an hour on the engine alone
#
# A fixed -seed keeps short runs repeatable. For long runs on several cores
# call a target directly, e.g.
#   build-fuzz/fuzz/fuzz_engine -jobs=4 -workers=4 -max_len=65536 -timeout=30 \
#       build-fuzz/fuzz-work/engine fuzz/corpus/engine
# and replay one input with `build-fuzz/fuzz/fuzz_engine FILE`.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?usage: fuzz/run.sh BUILD [SECONDS] [TARGET...]}"
seconds="${2:-60}"
shift $(( $# >= 2 ? 2 : 1 ))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(engine spnego ntlm_type3 names smb3)

mkdir -p "$build/fuzz-artifacts"
status=0
for t in "${targets[@]}"; do
    exe="$build/fuzz/fuzz_$t"
    work="$build/fuzz-work/$t"
    log="$build/fuzz-work/$t.log"
    mkdir -p "$work"
    seeds=("$here/corpus/$t")
    [ -d "$here/crashes/$t" ] && seeds+=("$here/crashes/$t")
    max_len=4096
    [ "$t" = engine ] && max_len=65536
    if ! "$exe" -seed=1 -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
            -max_len="$max_len" -print_final_stats=1 \
            -artifact_prefix="$build/fuzz-artifacts/$t-" \
            "$work" "${seeds[@]}" >"$log" 2>&1; then
        echo "== fuzz_$t FAILED; the end of $log:"
        tail -n 60 "$log"
        status=1
        continue
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    nseeds=$(find "${seeds[@]}" -type f | wc -l)
    inputs=$(find "$work" -type f | wc -l)
    echo "== fuzz_$t: ${seconds} s, $runs runs, $rate exec/s, $nseeds seeds, $inputs inputs found"
done
exit $status
