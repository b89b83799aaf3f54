#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sequential ReadSector against a bare single-sector pread loop, WriteSector
# against a bare pwrite + fdatasync loop, and pwrite on an O_DSYNC descriptor
# against pwrite + fdatasync, on a loop disk of its own (64 MiB), in one run:
# prints each and their ratios.
#
#   bench/read-vs-pread.sh [benchmark options]
#
# BENCH=path/to/tavdisk_bench_linux (default build/default/bench/...). Needs
# root; detaches the disk on exit.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
bench=${BENCH:-$here/../build/default/bench/tavdisk_bench_linux}
[[ $EUID -eq 0 ]] || { echo "read-vs-pread.sh: needs root (a loop device)" >&2; exit 2; }
[[ -x $bench ]] || { echo "read-vs-pread.sh: no benchmark at $bench (build it first)" >&2; exit 2; }
image=$(mktemp /tmp/tavdisk-read-bench.XXXXXX)
device=""
trap '[[ -n $device ]] && losetup -d "$device"; rm -f "$image"' EXIT
dd if=/dev/urandom of="$image" bs=1M count=64 status=none
device=$(losetup -f --show "$image")
TAVDISK_BENCH_DISK=$device "$bench" --benchmark_repetitions=12 --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true "$@"
