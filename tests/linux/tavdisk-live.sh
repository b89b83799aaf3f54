#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tavdisk read and write on a real loop device, checked against the file
# behind it; a write by a number that no longer names the expected device,
# and a write into a mounted volume, refused. Exits 77 (skipped) without
# root or loop devices.
#   tavdisk-live.sh <path to tavdisk>
set -euo pipefail
tavdisk=$1
if [ "$(id -u)" -ne 0 ]; then echo "skipped: needs root for loop devices"; exit 77; fi
command -v losetup >/dev/null || { echo "skipped: losetup missing"; exit 77; }

work=$(mktemp -d /tmp/tavdisk-live.XXXXXX)
dev=
extra=()
cleanup() {
    mountpoint -q "$work/mnt" 2>/dev/null && umount "$work/mnt"
    [ -n "$dev" ] && losetup -d "$dev" 2>/dev/null || true
    for d in "${extra[@]}"; do losetup -d "$d" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

image=$work/disk.img
head -c $((512 * 64)) /dev/urandom > "$image"
dev=$(losetup -f --show "$image" 2>/dev/null) || { echo "skipped: cannot attach a loop device"; exit 77; }

# A disk's number in tavdisk's listing.
number_of() {
    "$tavdisk" list --json 2>/dev/null | python3 -c '
import json, sys
for d in json.load(sys.stdin)["disks"]:
    if d["device_path"] == sys.argv[1]:
        print(d["number"])' "$1"
}
number=$(number_of "$dev")
[ -n "$number" ] || { echo "FAIL: $dev not listed"; exit 1; }

hexbytes() { od -An -tx1 -v -j "$2" -N 512 "$1" | tr -d ' \n'; }
dumpbytes() { cut -c11-58 | tr -d ' \n'; }

# read: the hexdump holds exactly the sector's bytes.
got=$("$tavdisk" read "$dev" 3 | dumpbytes)
want=$(hexbytes "$image" $((3 * 512)))
[ "$got" = "$want" ] || { echo "FAIL: read of sector 3 differs from the backing file"; exit 1; }

# write without --yes, and with a file of another size: refused, nothing written.
before=$(sha256sum < "$image")
head -c 512 /dev/urandom > "$work/sector"
head -c 511 /dev/urandom > "$work/short"
if "$tavdisk" write "$dev" 5 "$work/sector" 2>/dev/null; then echo "FAIL: write without --yes succeeded"; exit 1; fi
if "$tavdisk" write "$number" 5 "$work/sector" --yes 2>/dev/null; then echo "FAIL: write by number without --device succeeded"; exit 1; fi
if "$tavdisk" write "$dev" 5 "$work/short" --yes 2>/dev/null; then echo "FAIL: write of 511 bytes succeeded"; exit 1; fi
if "$tavdisk" read "$dev" 64 >/dev/null 2>&1; then echo "FAIL: read past the end succeeded"; exit 1; fi
sync
[ "$(sha256sum < "$image")" = "$before" ] || { echo "FAIL: a refused write changed the disk"; exit 1; }

# write: exactly that sector changes, to exactly the file's bytes.
cp "$image" "$work/before.img"
# By number with --device: refused, not misdirected, when other disks came
# or went meanwhile (other tests' loop disks may), so asked again then.
for try in 1 2 3 4 5; do
    "$tavdisk" write "$(number_of "$dev")" 5 "$work/sector" --yes --device "$dev" >/dev/null 2>&1 && break
    [ "$try" -lt 5 ] || { echo "FAIL: write by number with --device"; exit 1; }
done
losetup -d "$dev"; dev=
cmp -s <(head -c 512 "$work/sector") <(dd if="$image" bs=512 skip=5 count=1 status=none) \
    || { echo "FAIL: sector 5 of the backing file is not the written sector"; exit 1; }
cmp -s <(head -c $((5 * 512)) "$image") <(head -c $((5 * 512)) "$work/before.img") \
    && cmp -s <(tail -c +$((6 * 512 + 1)) "$image") <(tail -c +$((6 * 512 + 1)) "$work/before.img") \
    || { echo "FAIL: the write changed other sectors"; exit 1; }

# A number that names another device by the time of the write: refused.
# Two more loop disks a and b; b's number is taken, then a goes away, which
# moves b up by one when a was listed before it.
head -c $((512 * 64)) /dev/zero > "$work/a.img"
head -c $((512 * 64)) /dev/zero > "$work/b.img"
a=$(losetup -f --show "$work/a.img") && extra+=("$a")
b=$(losetup -f --show "$work/b.img") && extra+=("$b")
nb=$(number_of "$b")
losetup -d "$a"
if "$tavdisk" write "$nb" 7 "$work/sector" --yes --device "$b" 2>"$work/shift.err"; then
    # Only when the number named b again (the machine moved back): b's sector.
    sync
    cmp -s <(head -c 512 "$work/sector") <(dd if="$work/b.img" bs=512 skip=7 count=1 status=none) \
        || { echo "FAIL: a write by number with --device went elsewhere"; exit 1; }
else
    grep -Eq "nothing written|no disk $nb on this machine" "$work/shift.err" || { echo "FAIL: $(cat "$work/shift.err")"; exit 1; }
    sync
    cmp -s "$work/b.img" <(head -c $((512 * 64)) /dev/zero) || { echo "FAIL: a refused write changed b"; exit 1; }
fi

# A sector inside a mounted volume: refused without --allow-mounted.
if command -v mkfs.ext4 >/dev/null; then
    head -c $((1 << 20)) /dev/zero > "$work/fs.img"
    mkfs.ext4 -q -F "$work/fs.img" 2>/dev/null
    fs=$(losetup -f --show "$work/fs.img") && extra+=("$fs")
    mkdir -p "$work/mnt" && mount "$fs" "$work/mnt"
    if "$tavdisk" write "$fs" 100 "$work/sector" --yes 2>"$work/mounted.err"; then
        echo "FAIL: a write into a mounted volume succeeded"; exit 1
    fi
    grep -q "belongs to the volume mounted at $work/mnt" "$work/mounted.err" \
        || { echo "FAIL: $(cat "$work/mounted.err")"; exit 1; }
    umount "$work/mnt"
fi
echo "tavdisk read/write round trip on a loop device: ok"
