#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Attaches N loop devices over sparse files, each with a partition table, a
# partition and an ext4 file system mounted under a temporary folder; or
# detaches them again. bench/list-vs-lsblk.sh uses it to compare
# `tavdisk list --json` with `lsblk -J -O` on the same disks; by hand:
#
#   bench/loop-disks.sh up 32
#   /usr/bin/time -f %e build/default/tools/tavdisk list --json >/dev/null
#   /usr/bin/time -f %e lsblk -J -O >/dev/null
#   bench/loop-disks.sh down
#
# TAVDISK_LOOP_STATE names the folder that holds the images, the mount
# points and the list of devices (default /tmp/tavdisk-loop-disks), so that
# several sets can live side by side. Needs root.
set -euo pipefail
state=${TAVDISK_LOOP_STATE:-/tmp/tavdisk-loop-disks}
case "${1:-}" in
up)
    count=${2:-32}
    mkdir -p "$state"
    for i in $(seq 1 "$count"); do
        image=$state/disk$i.img
        truncate -s 64M "$image"
        printf 'label: dos\n,,83\n' | sfdisk -q "$image"
        dev=$(losetup -f --show "$image")
        echo "$dev" >> "$state/devices"
        partx -a "$dev" 2>/dev/null || true
        mkfs.ext4 -q -F "${dev}p1"
        mkdir -p "$state/mnt$i"
        mount "${dev}p1" "$state/mnt$i"
    done
    echo "attached $count loop devices"
    ;;
down)
    [ -d "$state" ] || exit 0
    for m in "$state"/mnt*; do umount "$m" 2>/dev/null || true; done
    if [ -f "$state/devices" ]; then
        while read -r dev; do
            partx -d "$dev" 2>/dev/null || true
            losetup -d "$dev" 2>/dev/null || true
        done < "$state/devices"
        # losetup made the devices it needed; remove them again so that the
        # next measurement does not list hundreds of unbound loop devices.
        python3 - "$state/devices" <<'PY' 2>/dev/null || true
import fcntl, os, sys
control = os.open("/dev/loop-control", os.O_RDWR)
for line in open(sys.argv[1]):
    try:
        fcntl.ioctl(control, 0x4C81, int(line.strip()[len("/dev/loop"):]))  # LOOP_CTL_REMOVE
    except (OSError, ValueError):
        pass
PY
    fi
    rm -rf "$state"
    ;;
*)
    echo "usage: $0 up [N] | down" >&2
    exit 2
    ;;
esac
