#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# `tavdisk list --json` against `lsblk -J -O` on N loop disks (each with a
# partition and a mounted ext4 file system), in one run on this machine:
# wall time of PAIRS alternating runs of each (medians and their ratio), and
# the system calls each makes (strace -c -f), in all and per listed disk.
#
#   bench/list-vs-lsblk.sh [N] [PAIRS]      # defaults: 32 disks, 7 pairs
#
# KEPT=no runs tavdisk in a user namespace of its own (unshare -U
# --map-root-user, as in a container): no uevent reaches it there, so no
# look is kept and every request takes a new one.
#
# TAVDISK=path/to/tavdisk (default build/default/tools/tavdisk). Needs root,
# util-linux, fdisk, e2fsprogs and strace; detaches what it attached on exit.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
count=${1:-32}
pairs=${2:-7}
tavdisk=${TAVDISK:-$here/../build/default/tools/tavdisk}
kept=${KEPT:-yes}
[[ $EUID -eq 0 ]] || { echo "list-vs-lsblk.sh: needs root (loop devices, mounts)" >&2; exit 2; }
[[ -x $tavdisk ]] || { echo "list-vs-lsblk.sh: no tavdisk at $tavdisk (build it first)" >&2; exit 2; }
command -v strace >/dev/null || { echo "list-vs-lsblk.sh: needs strace" >&2; exit 2; }

[[ $kept == yes || $kept == no ]] || { echo "list-vs-lsblk.sh: KEPT is yes or no" >&2; exit 2; }
run=()
[[ $kept == no ]] && run=(unshare -U --map-root-user)
tav() { "${run[@]}" "$tavdisk" list --json; }

export TAVDISK_LOOP_STATE
TAVDISK_LOOP_STATE=$(mktemp -d /tmp/tavdisk-bench.XXXXXX)
trap '"$here/loop-disks.sh" down' EXIT
"$here/loop-disks.sh" up "$count" >/dev/null

now() { echo "${EPOCHREALTIME/./}"; } # microseconds, without starting a process
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

disks=$(tav 2>/dev/null | grep -c '"number":' || true)
tav >/dev/null 2>&1 # warm the caches once for both
lsblk -J -O >/dev/null
t_tav=() t_lsblk=()
for _ in $(seq 1 "$pairs"); do
    a=$(now); tav >/dev/null 2>&1; b=$(now)
    lsblk -J -O >/dev/null; c=$(now)
    t_tav+=($((b - a))) t_lsblk+=($((c - b)))
done
m_tav=$(printf '%s\n' "${t_tav[@]}" | median)
m_lsblk=$(printf '%s\n' "${t_lsblk[@]}" | median)

calls() { # total system calls of a command, children included
    strace -c -f -o /tmp/tavdisk-bench-strace.$$ "$@" >/dev/null 2>&1 || true
    awk '$NF == "total" {print $(NF - 2)}' /tmp/tavdisk-bench-strace.$$
    rm -f /tmp/tavdisk-bench-strace.$$
}
s_tav=$(calls "${run[@]}" "$tavdisk" list --json)
s_lsblk=$(calls lsblk -J -O)

echo "loop disks attached: $count; disks listed by tavdisk: $disks; pairs: $pairs; looks kept: $kept"
printf 'tavdisk list --json  median %8.1f ms   system calls %7d (%.0f per disk)\n' \
    "$(echo "$m_tav / 1000" | bc -l)" "$s_tav" "$(echo "$s_tav / $disks" | bc -l)"
printf 'lsblk -J -O          median %8.1f ms   system calls %7d (%.0f per disk)\n' \
    "$(echo "$m_lsblk / 1000" | bc -l)" "$s_lsblk" "$(echo "$s_lsblk / $disks" | bc -l)"
printf 'ratio tavdisk/lsblk  %.2f\n' "$(echo "$m_tav / $m_lsblk" | bc -l)"
