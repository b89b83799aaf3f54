#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The fuzzers of tests/fuzz: builds them (preset fuzz, clang with
# AddressSanitizer and UndefinedBehaviorSanitizer), runs every one over its
# checked-in corpus (a regression test: ctest --preset fuzz), then runs each
# for a bounded time from that corpus and prints what it did.
#
#   tests/fuzz/run.sh                 # regression, then 60 s per fuzzer
#   FUZZ_SECONDS=600 tests/fuzz/run.sh fuzz_linux_tree   # one fuzzer, longer
#   FUZZ_SECONDS=0 tests/fuzz/run.sh  # the regression only
#   tests/fuzz/run.sh --merge         # also add the new inputs that widen coverage to the corpus
#
# New inputs of a bounded run go to build/fuzz/work/<fuzzer> (kept between
# runs); a finding is written to build/fuzz/findings/<fuzzer>/ and makes the
# script fail. Exit 0: every input of every corpus ran clean and no bounded
# run found anything.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 2
root=$PWD
seconds=${FUZZ_SECONDS:-60}
merge=0
fuzzers=()
for a in "$@"; do
    case $a in
    --merge) merge=1 ;;
    fuzz_*) fuzzers+=("$a") ;;
    *) echo "usage: tests/fuzz/run.sh [--merge] [fuzz_name ...]" >&2; exit 2 ;;
    esac
done
((${#fuzzers[@]})) || fuzzers=(fuzz_device_answers fuzz_linux_tree fuzz_tavdisk_args fuzz_protocol)

if ! command -v clang++ >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null | grep -q 'install ok installed'; then
    if [ "$(id -u)" -ne 0 ]; then echo "tests/fuzz/run.sh: needs clang and libclang-rt-14-dev (as root it installs them)" >&2; exit 2; fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev >/dev/null || exit 2
fi

cmake --preset fuzz >/dev/null || exit 2
cmake --build --preset fuzz || exit 2
# The regression: every input of every corpus, once.
ctest --preset fuzz || exit 1

failed=0
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
if [ "$seconds" -gt 0 ]; then
    for f in "${fuzzers[@]}"; do
        bin=$root/build/fuzz/tests/fuzz/$f
        work=$root/build/fuzz/work/$f findings=$root/build/fuzz/findings/$f
        mkdir -p "$work" "$findings"
        log=$root/build/fuzz/$f.log
        # One process, -max_total_time bounds it; rss and input size stay modest.
        # -len_control=0: inputs may grow to -max_len at once. libFuzzer's
        # length control would hold them at a few bytes for thousands of
        # executions, which the Linux fuzzer (tens of executions a second, an
        # edit taking 4 bytes and more) never reaches in a bounded run.
        "$bin" -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=4096 -len_control=0 -print_final_stats=1 \
            -artifact_prefix="$findings/" "$work" "tests/fuzz/corpus/$f" >"$log" 2>&1
        rc=$?
        stats=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 | sed -E 's/^#[0-9]+[[:space:]]+DONE +//')
        execs=$(grep -E 'stat::number_of_executed_units' "$log" | awk '{print $2}')
        echo "== $f: ${seconds} s, ${execs:-?} executions; ${stats:-no DONE line}"
        if [ $rc -ne 0 ] || ls "$findings"/crash-* "$findings"/leak-* "$findings"/timeout-* >/dev/null 2>&1; then
            echo "== $f: FINDING (exit $rc), inputs in $findings; the log is $log"
            grep -E '^finding:|ERROR:|SUMMARY:' "$log" | head -5
            failed=1
        fi
        if [ $merge -eq 1 ]; then
            "$bin" -merge=1 "tests/fuzz/corpus/$f" "$work" >/dev/null 2>&1 && echo "== $f: corpus merged"
        fi
    done
fi
exit $failed
