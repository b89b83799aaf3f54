#!/usr/bin/env bash
# tavdisk write's guard on real loop devices: every write into storage in
# use is refused without --allow-mounted (a partition mounted, a whole disk
# mounted beside its partition table, a loop device on a mounted one, swap,
# a lazily unmounted file system still held open, a mount this process
# cannot see, the partition table of a disk in use) and nothing else is (an
# unmounted disk, free space between partitions, a partition not in use, a
# loop disk whose backing file lies on a mounted file system). A read-only
# loop device refuses the write as write-protected. Exits 77 (skipped)
# without root, loop devices or the tools.
#   tavdisk-guard.sh <path to tavdisk>
set -euo pipefail
tavdisk=$1
if [ "$(id -u)" -ne 0 ]; then echo "skipped: needs root for loop devices"; exit 77; fi
for tool in losetup sfdisk mkfs.ext4 mount unshare python3; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool missing"; exit 77; }
done

work=$(mktemp -d /tmp/tavdisk-guard.XXXXXX)
mounts=()
swaps=()
held=
cleanup() {
    [ -n "$held" ] && exec 3<&- || true
    for s in "${swaps[@]}"; do swapoff "$s" 2>/dev/null || true; done
    for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
    # The devices attached, newest first (a loop device on another goes
    # before it); attach runs in command substitutions, so they are kept in
    # a file rather than in a variable of this shell.
    if [ -f "$work/loops" ]; then
        tac "$work/loops" | while read -r d; do losetup -d "$d" 2>/dev/null || true; done
    fi
    rm -rf "$work"
}
trap cleanup EXIT

attach() { # attach [losetup options] FILE-OR-DEVICE; prints the device
    local d
    d=$(losetup -f --show "$@") || { echo "skipped: cannot attach a loop device" >&2; exit 77; }
    echo "$d" >> "$work/loops"
    echo "$d"
}
fresh() { # fresh NAME MiB: a zero-filled image
    head -c $(($2 << 20)) /dev/zero > "$work/$1.img"
    echo "$work/$1.img"
}
partitions() { # partitions DEVICE N: the kernel reads its table; waits for partition N
    partx -a "$1" 2>/dev/null || true
    for _ in $(seq 50); do [ -b "$1p$2" ] && return; sleep 0.1; done
    echo "skipped: the partitions of $1 did not appear"; exit 77
}
mnt() { mkdir -p "$work/$2"; mount "$1" "$work/$2"; mounts+=("$work/$2"); }
head -c 512 /dev/urandom > "$work/sector"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect refused|written DEVICE SECTOR [words the refusal must hold] [-- extra options]
expect() {
    local want=$1 dev=$2 sector=$3 words=${4:-} out
    shift 4 || shift $#
    # Other tests attach and detach loop devices meanwhile: a write refused
    # because the listing changed under it is tried again.
    for _ in 1 2 3 4 5; do
        if "$tavdisk" write "$dev" "$sector" "$work/sector" --yes "$@" >"$work/out" 2>&1; then out=written; else out=refused; fi
        grep -q "changed while the write was prepared" "$work/out" || break
    done
    if [ "$out" != "$want" ]; then
        fail "write $dev $sector $*: $out, expected $want: $(cat "$work/out")"
    elif [ "$want" = refused ] && [ -n "$words" ] && ! grep -q -- "$words" "$work/out"; then
        fail "write $dev $sector: refusal without '$words': $(cat "$work/out")"
    fi
}

# A disk with two partitions and a gap between them: the first mounted.
img=$(fresh parts 16)
printf 'label: gpt\nstart=2048, size=8192\nstart=12288, size=8192\n' | sfdisk -q "$img" >/dev/null 2>&1
parts=$(attach "$img")
partitions "$parts" 2
mkfs.ext4 -q -F "${parts}p1" >/dev/null 2>&1
mnt "${parts}p1" parts
expect refused "$parts" 3000 "belongs to the volume mounted at $work/parts"
expect refused "$parts" 0 "in use"        # the partition table of a disk in use
expect refused "$parts" 1 "in use"
expect refused "$parts" 2 "in use"
expect refused "$parts" 32767 "in use"    # the backup GPT header
expect written "$parts" 11000             # free space between the partitions
expect written "$parts" 13000             # the partition that is not in use
expect written "$parts" 3000 "" --allow-mounted
# ... and with every partition mounted, free space is still free.
mkfs.ext4 -q -F "${parts}p2" >/dev/null 2>&1
mnt "${parts}p2" parts2
expect written "$parts" 11000
expect refused "$parts" 13000 "mounted at $work/parts2"
expect refused "$parts" 0 "in use"

# An unmounted disk: written, the partition table too.
plain=$(attach "$(fresh plain 1)")
expect written "$plain" 0
expect written "$plain" 100

# A whole disk mounted while it carries a partition table (a hybrid image):
# listed with its mount point, and refused inside and outside the partition.
img=$(fresh hybrid 16)
mkfs.ext4 -q -F "$img" >/dev/null 2>&1
printf 'start=16384, size=8192, type=83\n' | sfdisk -q --wipe never "$img" >/dev/null 2>&1
hybrid=$(attach "$img")
partitions "$hybrid" 1
mnt "$hybrid" hybrid
"$tavdisk" list --json 2>/dev/null | python3 -c '
import json, sys
for d in json.load(sys.stdin)["disks"]:
    if d["device_path"] == sys.argv[1]:
        sys.exit(0 if sys.argv[2] in ((d.get("volumes") or {}).get("mount_points") or []) else 1)
sys.exit(1)' "$hybrid" "$work/hybrid" || fail "list shows no mount point for the mounted whole disk $hybrid"
expect refused "$hybrid" 9000 "mounted at $work/hybrid"
expect refused "$hybrid" 17000 "mounted at $work/hybrid"

# A loop device on a mounted loop device, and one on an unmounted one.
base=$(attach "$(fresh base 4)")
mkfs.ext4 -q -F "$base" >/dev/null 2>&1
mnt "$base" base
upper=$(attach "$base")
expect refused "$upper" 100 "in use"
expect refused "$base" 100 "mounted at $work/base"
free=$(attach "$(fresh free 1)")
over=$(attach "$free")
expect written "$over" 100
# ... and a loop disk whose backing file lies on the mounted file system.
head -c $((1 << 20)) /dev/zero > "$work/base/inner.img"
inner=$(attach "$work/base/inner.img")
expect written "$inner" 100

# Swap on a loop disk.
if command -v mkswap >/dev/null && command -v swapon >/dev/null; then
    swap=$(attach "$(fresh swap 4)")
    mkswap -q "$swap" >/dev/null 2>&1 || mkswap "$swap" >/dev/null
    if swapon "$swap" 2>/dev/null; then
        swaps+=("$swap")
        expect refused "$swap" 100 "in use"
        swapoff "$swap" && swaps=()
        expect written "$swap" 100
    else
        echo "note: swapon refused here; swap not checked live"
    fi
fi

# A lazily unmounted file system that a process still holds open.
lazy=$(attach "$(fresh lazy 4)")
mkfs.ext4 -q -F "$lazy" >/dev/null 2>&1
mnt "$lazy" lazy
echo data > "$work/lazy/file"
exec 3<"$work/lazy/file"
held=1
umount -l "$work/lazy"
expect refused "$lazy" 100 "in use"
exec 3<&-
held=

# A file system mounted where the writer cannot see it: unmounted in the
# writer's own mount namespace.
hidden=$(attach "$(fresh hidden 4)")
mkfs.ext4 -q -F "$hidden" >/dev/null 2>&1
mnt "$hidden" hidden
if unshare -m --propagation private sh -c "umount '$work/hidden' && ! '$tavdisk' write '$hidden' 100 '$work/sector' --yes" \
    >"$work/out" 2>&1; then
    grep -q "in use" "$work/out" || fail "other namespace: refusal without 'in use': $(cat "$work/out")"
else
    fail "a write into a file system mounted in another mount namespace was not refused: $(cat "$work/out")"
fi

# A read-only loop device: write-protected.
ro=$(attach -r "$(fresh ro 1)")
expect refused "$ro" 5 "read-only (write-protected) (error 19)"

[ "$failures" -eq 0 ] || exit 1
echo "tavdisk write guard on loop devices: ok"
