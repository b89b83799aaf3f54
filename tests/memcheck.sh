#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# valgrind memcheck over the test suites of a build (default: build/default):
# the library's tests, tavdisk's, the Linux backend's (replay, and live ones
# as root), tavdisk itself on this machine, and a program that loads and
# unloads the library. Zero errors and zero leaks (definite, indirect,
# possible), or the script fails.
#
# valgrind 3.19 takes glibc's AVX2 wmemcmp for an "Invalid read of size 32"
# (the function reads whole aligned vectors past the end of the strings it
# compares, which cannot fault); the tunable below has glibc pick its
# baseline functions instead.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
build=${1:-build/default}
if ! command -v valgrind >/dev/null; then
    if [ "$(id -u)" -ne 0 ]; then echo "tests/memcheck.sh: needs valgrind" >&2; exit 2; fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends valgrind >/dev/null || exit 2
fi
export GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2_Usable,-AVX2,-AVX512F,-EVEX
vg=(valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible
    --errors-for-leak-kinds=definite,indirect,possible --track-fds=no -q)
failed=0 passed=0
wrap=() more=() reachable=
# Whether a block the library allocated is still reachable at the end
# (what the dynamic loader and libstdc++ keep for themselves is theirs).
library_reachable() {
    awk '/still reachable in loss record/ { r = 1; next } r && /^==[0-9]+== *$/ { r = 0 }
         r && /libTavDiskLib|Tav[A-Za-z]*::|Drive::|Adapter::/ { found = 1 } END { exit !found }' "$1"
}
run() { # run <label> <command...>: valgrind runs inside ${wrap[@]}, with ${more[@]}
    local label=$1 log
    shift
    log=$(mktemp)
    if "${wrap[@]}" "${vg[@]}" "${more[@]}" "$@" >"$log" 2>&1 && ! { [ -n "$reachable" ] && library_reachable "$log"; }; then
        echo "memcheck: $label: clean"
        passed=$((passed + 1))
    else
        echo "memcheck: $label: FAILED (exit $?)"
        grep -E '^==[0-9]+==|\.c:' "$log" | head -60
        failed=$((failed + 1))
    fi
    rm -f "$log"
}
# The test that counts what a listing reads per disk waits for the
# machine's announcements of the disks it attaches; under valgrind, slowed
# twenty-fold in one process after every other live test, late ones end its
# looks and the count means nothing. The other stages run it.
for t in tests/tavdisk_tests tests/cli/tavdisk_cli_tests tests/linux/tavdisk_linux_tests tests/api/tavdisk_api_tests \
         tests/api/tavdisk_c_api_test; do
    filter=()
    [ "$t" = tests/linux/tavdisk_linux_tests ] && filter=(--gtest_filter=-*ListingCostPerDiskDoesNotGrowWithTheMachine*)
    [ -x "$build/$t" ] && run "$t" "$build/$t" "${filter[@]}"
done
# A program that loads the shared library, uses it, releases it and unloads
# it: besides the above, no block the library allocated may still be
# reachable at the end, and the program checks that no descriptor is left
# open. Over a recorded machine, and over this one as root.
if [ -x "$build/tests/api/tavdisk_load_unload" ] && [ -x "$build/tests/linux/tavdisk_replay" ]; then
    more=(--show-leak-kinds=all --num-callers=40) reachable=1
    unload=("$build/tests/api/tavdisk_load_unload" "$build/libTavDiskLib.so")
    wrap=("$build/tests/linux/tavdisk_replay" server)
    run "load, use and unload (recorded machine)" "${unload[@]}"
    wrap=()
    [ "$(id -u)" -eq 0 ] && run "load, use and unload (this machine)" "${unload[@]}"
    more=() reachable=
fi
if [ -x "$build/tools/tavdisk" ]; then
    run "tavdisk list --json" "$build/tools/tavdisk" list --json
    run "tavdisk list" "$build/tools/tavdisk" list
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
