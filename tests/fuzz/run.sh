#!/bin/bash
# Runs every fuzz target of a build directory for a number of seconds, on
# a working corpus under the build directory seeded with
# tests/fuzz/corpus/<name>/, several targets at a time.
#   run.sh BUILD_DIR SECONDS [PARALLEL]   (SECONDS 0: the seeds only, once)
# The seeds are always run first, so the seed corpus is a regression set.
# A crash, a sanitizer report, a time-out or a leak fails the run; the
# input that caused it is left in BUILD_DIR/fuzz-artifacts/ and the
# target's output in BUILD_DIR/fuzz-logs/<name>.log.
set -u

build=$1
seconds=$2
parallel=${3:-2}
here=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$build/fuzz-corpus" "$build/fuzz-artifacts" "$build/fuzz-logs"
targets=$(cd "$build/tests/fuzz" 2>/dev/null && ls fuzz_* 2>/dev/null | grep -v '\.')
if [ -z "$targets" ]; then
    echo "fuzz: no targets in $build/tests/fuzz" >&2
    exit 1
fi

# One target; prints one line and leaves its status in the log directory.
run_one() {
    local name=${1#fuzz_}
    local corpus="$build/fuzz-corpus/$name"
    local seeds="$here/corpus/$name"
    local log="$build/fuzz-logs/$name.log"
    local max_len=8192
    case $name in
    body | head_reader) max_len=20000 ;;
    config) max_len=16384 ;;
    esac
    mkdir -p "$corpus" "$seeds"
    rm -f "$build/fuzz-logs/$name.failed"
    local start=$SECONDS
    # 0 seconds: run the seeds (and the working corpus) once and stop, so
    # the result depends on the committed inputs only.
    local limit="-max_total_time=$seconds"
    [ "$seconds" -eq 0 ] && limit="-runs=0"
    if ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        KV_SOURCE_DIR="$here/../.." \
        "$build/tests/fuzz/$1" $limit -max_len=$max_len \
        -timeout=20 -rss_limit_mb=2560 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-artifacts/$name-" \
        "$corpus" "$seeds" >"$log" 2>&1; then
        local runs
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        echo "fuzz: $name passed ($((SECONDS - start)) s, ${runs:-?} runs)"
    else
        touch "$build/fuzz-logs/$name.failed"
        echo "fuzz: $name FAILED, see $log"
        grep -E "^==[0-9]+==ERROR|^SUMMARY|runtime error|^artifact_prefix|Test unit written" "$log" | head -6
    fi
}

running=0
for t in $targets; do
    if [ "$running" -ge "$parallel" ]; then
        wait -n
        running=$((running - 1))
    fi
    run_one "$t" &
    running=$((running + 1))
done
wait

total=0
failed=0
for t in $targets; do
    total=$((total + 1))
    [ -e "$build/fuzz-logs/${t#fuzz_}.failed" ] && failed=$((failed + 1))
done
echo "fuzz: $((total - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
