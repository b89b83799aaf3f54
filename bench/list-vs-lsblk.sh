#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# `tavdisk list --json` against `lsblk -J -O` on N loop disks (each with a
# partition and a mounted ext4 file system), in one run on this machine:
# wall time of PAIRS alternating runs of each (medians and their ratio), and
# the system calls each makes (strace -c -f), in all and per listed disk.
#
#   bench/list-vs-lsblk.sh [N] [PAIRS]      # defaults: 32 disks, 7 pairs
#
# KEPT chooses how tavdisk runs, one mode or several in the same run
# (alternating, each against the same lsblk runs):
#   yes      as it is started here: looks kept on uevents received;
#   counted  in a user namespace of its own (unshare -U --map-root-user, as
#            in a container): no uevent reaches it there, they are counted
#            (/sys/kernel/uevent_seqnum) and looks are still kept;
#   fanotify the same, with no inotify instance to be had in it
#            (user.max_inotify_instances 0): a fanotify group watches the
#            nodes instead and looks are still kept;
#   polled   the same, with no fanotify group to be had either
#            (user.max_fanotify_groups 0 too): what they would tell is
#            polled (/proc/partitions, /proc/diskstats, the probed nodes'
#            times) and looks are still kept;
#   all      yes, counted, fanotify and polled.
#
# BASE=path/to/an/older/tavdisk adds that program, run as it is started here,
# to the same alternation, and each mode's median is also given as a ratio
# to its median: a change's cost measured beside its baseline.
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

modes=$kept
[[ $kept == all ]] && modes="yes counted fanotify polled"
base=${BASE:-}
[[ -z $base || -x $base ]] || { echo "list-vs-lsblk.sh: no program at BASE=$base" >&2; exit 2; }
for mode in $modes; do
    [[ $mode =~ ^(yes|counted|fanotify|polled)$ ]] || { echo "list-vs-lsblk.sh: KEPT is yes, counted, fanotify, polled or all" >&2; exit 2; }
done
[[ -n $base ]] && modes+=" base"
# The command line of tavdisk in a mode.
runner() {
    local command
    command=$(printf '%q list --json' "$tavdisk")
    case $1 in
    yes) echo "$command" ;;
    counted) echo "unshare -U --map-root-user $command" ;;
    fanotify) echo "unshare -U --map-root-user sh -c $(printf '%q' "echo 0 > /proc/sys/user/max_inotify_instances && exec $command")" ;;
    polled) echo "unshare -U --map-root-user sh -c $(printf '%q' "echo 0 > /proc/sys/user/max_inotify_instances && echo 0 > /proc/sys/user/max_fanotify_groups && exec $command")" ;;
    base) printf '%q list --json' "$base" ;;
    esac
}
tav() { eval "$(runner "$1")"; }

export TAVDISK_LOOP_STATE
TAVDISK_LOOP_STATE=$(mktemp -d /tmp/tavdisk-bench.XXXXXX)
trap '"$here/loop-disks.sh" down' EXIT
"$here/loop-disks.sh" up "$count" >/dev/null

now() { echo "${EPOCHREALTIME/./}"; } # microseconds, without starting a process
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

first=${modes%% *}
disks=$(tav "$first" 2>/dev/null | grep -c '"number":' || true)
for mode in $modes; do tav "$mode" >/dev/null 2>&1; done # warm the caches once for all
lsblk -J -O >/dev/null
declare -A times
t_lsblk=()
for _ in $(seq 1 "$pairs"); do
    for mode in $modes; do
        a=$(now); tav "$mode" >/dev/null 2>&1; b=$(now)
        times[$mode]+="$((b - a)) "
    done
    b=$(now); lsblk -J -O >/dev/null; c=$(now)
    t_lsblk+=($((c - b)))
done
m_lsblk=$(printf '%s\n' "${t_lsblk[@]}" | median)

calls() { # total system calls of a command line, children included
    eval "strace -c -f -o /tmp/tavdisk-bench-strace.$$ $1" >/dev/null 2>&1 || true
    awk '$NF == "total" {print $(NF - 2)}' /tmp/tavdisk-bench-strace.$$
    rm -f /tmp/tavdisk-bench-strace.$$
}
echo "loop disks attached: $count; disks listed by tavdisk: $disks; pairs: $pairs"
for mode in $modes; do
    read -ra values <<< "${times[$mode]}"
    m=$(printf '%s\n' "${values[@]}" | median)
    s_tav=$(calls "$(runner "$mode")")
    printf 'tavdisk (kept: %-8s) median %8.1f ms   system calls %7d (%.0f per disk)   ratio to lsblk %.2f' \
        "$mode" "$(echo "$m / 1000" | bc -l)" "$s_tav" "$(echo "$s_tav / $disks" | bc -l)" "$(echo "$m / $m_lsblk" | bc -l)"
    if [[ -n $base && $mode != base ]]; then
        read -ra b_values <<< "${times[base]}"
        printf '   ratio to BASE %.2f' "$(echo "$m / $(printf '%s\n' "${b_values[@]}" | median)" | bc -l)"
    fi
    echo
done
s_lsblk=$(calls "lsblk -J -O")
printf 'lsblk -J -O              median %8.1f ms   system calls %7d (%.0f per disk)\n' \
    "$(echo "$m_lsblk / 1000" | bc -l)" "$s_lsblk" "$(echo "$s_lsblk / $disks" | bc -l)"
