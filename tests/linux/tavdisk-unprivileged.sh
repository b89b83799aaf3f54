#!/usr/bin/env bash
# tavdisk as an unprivileged user, on a loop disk of its own (ext4 on the
# whole device, mounted at two paths) and on every disk that is no loop
# disk: the disks are opened for queries only, and bus, strings, number,
# size in bytes, sector size and mount points are those lsblk -b -O gives
# and those root's listing gives. Exits 77 (skipped) without root, setpriv,
# loop devices or mkfs.ext4.
#   tavdisk-unprivileged.sh <path to tavdisk>
set -euo pipefail
tavdisk=$1
if [ "$(id -u)" -ne 0 ]; then echo "skipped: needs root for loop devices"; exit 77; fi
for tool in losetup setpriv mkfs.ext4 lsblk python3; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool missing"; exit 77; }
done

work=$(mktemp -d /tmp/tavdisk-unpriv.XXXXXX)
chmod 755 "$work"
dev=
cleanup() {
    mountpoint -q "$work/b" 2>/dev/null && umount "$work/b"
    mountpoint -q "$work/a" 2>/dev/null && umount "$work/a"
    [ -n "$dev" ] && losetup -d "$dev" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

truncate -s 8M "$work/disk.img"
mkfs.ext4 -q -F "$work/disk.img" >/dev/null 2>&1 || { echo "skipped: mkfs.ext4 failed"; exit 77; }
dev=$(losetup -f --show "$work/disk.img" 2>/dev/null) || { echo "skipped: cannot attach a loop device"; exit 77; }
mkdir -p "$work/a" "$work/b"
mount "$dev" "$work/a" || { echo "skipped: cannot mount"; exit 77; }
mount --bind "$work/a" "$work/b"

nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }
# The machine's own disks (no loop disk: other tests attach and detach
# theirs meanwhile) and ours.
disks=$(lsblk -dn -o NAME,TYPE | awk '$2 == "disk" && $1 !~ /^(loop|zram)/ { print "/dev/" $1 }')
for disk in $disks $dev; do
    nobody "$tavdisk" show "$disk" --json > "$work/user.json" 2>"$work/user.err" || true
    "$tavdisk" show "$disk" --json > "$work/root.json" 2>/dev/null || true
    lsblk -J -b -O "$disk" > "$work/lsblk.json"
    python3 - "$disk" "$work/user.json" "$work/root.json" "$work/lsblk.json" <<'PY'
import json, sys
disk, user, root, lsblk = sys.argv[1], *(json.load(open(p)) for p in sys.argv[2:])
u, r, l = user["disks"][0], root["disks"][0], lsblk["blockdevices"][0]
def check(what, ours, theirs):
    if ours != theirs:
        sys.exit(f"FAIL: {disk}: {what} is {ours!r} unprivileged, expected {theirs!r}")
check("access", u["access"], "query")
check("bus", u["bus"], r["bus"])
check("descriptor", u["descriptor"], r["descriptor"])
check("device number", u["device_number"], r["device_number"])
check("size in bytes", u["capacity"]["bytes"], l["size"])
check("sector size", u["geometry"]["bytes_per_sector"], l["log-sec"])
def mounts(node):
    found = set(m for m in node.get("mountpoints") or [] if m)
    for child in node.get("children") or []:
        found |= mounts(child)
    return found
check("mount points", set(u["volumes"]["mount_points"]), mounts(l))
print(f"{disk}: {u['bus']['name']}, {u['capacity']['bytes']} bytes, sectors of {l['log-sec']}, mounts {sorted(mounts(l))}")
PY
done
