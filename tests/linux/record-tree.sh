#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Records what the Linux backend reads about this machine's block devices as
# a replay manifest (see ReplayTree.h) on standard output:
#
#   tests/linux/record-tree.sh [DEVICE...] > tests/linux/data/NAME.tree
#
# Without arguments every entry of /sys/class/block is recorded. Disk
# contents are not copied: each /dev node becomes a sparse file of the
# device's size. Answers that only ioctls give (ATA IDENTIFY, INQUIRY of
# devices without sysfs copies) are recorded when the tools that fetch them
# (sg_inq, sg_sat_identify from sg3-utils) are installed and run as root.
set -euo pipefail

declare -A seen=()

emit_file() { # manifest line for one attribute file, text or binary
    local f=$1 rel=${1#/}
    [[ -r $f && -f $f ]] || return 0
    if LC_ALL=C grep -q '[^[:print:][:space:]]' "$f" 2>/dev/null || [[ $f == */vpd_pg* || $f == */inquiry ]]; then
        local hex
        hex=$(od -An -tx1 -v "$f" 2>/dev/null | tr -s ' \n' ' ') || return 0
        [[ -n ${hex// /} ]] && echo "x $rel $hex"
    else
        local text
        text=$(cat "$f" 2>/dev/null) || return 0
        text=${text//\\/\\\\}
        text=${text//\"/\\\"}
        text=${text//$'\n'/\\n}
        text=${text//$'\t'/\\t}
        echo "f $rel \"$text\""
    fi
}

emit_link() {
    local l=$1
    [[ -L $l ]] && echo "l ${l#/} $(readlink "$l")"
    return 0
}

emit_dir() { # a device directory's attributes the backend looks at
    local d=$1
    [[ -n ${seen[$d]:-} ]] && return 0
    seen[$d]=1
    echo "d ${d#/}"
    local a
    for a in subsystem driver device; do emit_link "$d/$a"; done
    for a in uevent vendor device class subsystem_vendor subsystem_device revision idVendor idProduct \
             manufacturer product serial model rev type queue_depth wwid firmware_rev name manfid fwrev cid \
             inquiry vpd_pg80 vpd_pg83 sata_spd nsid subsysnqn; do
        emit_file "$d/$a"
    done
}

record_block() {
    local name=$1
    local sys
    sys=$(readlink -f "/sys/class/block/$name")
    emit_link "/sys/class/block/$name"
    emit_dir "$sys"
    local a
    for a in size ro removable dev hidden serial partition start wwid nsid alignment_offset \
             queue/logical_block_size queue/physical_block_size queue/max_hw_sectors_kb queue/max_segments \
             queue/dma_alignment queue/rotational queue/discard_max_bytes loop/backing_file loop/offset \
             dm/name dm/uuid md/level md/uuid; do
        emit_file "$sys/$a"
    done
    for a in holders slaves; do
        echo "d ${sys#/}/$a"
        local e
        for e in "$sys/$a"/*; do emit_link "$e"; done
    done
    # The chain of devices above it: controllers, ports, links.
    local p
    p=$(dirname "$sys")
    while [[ $p == /sys/devices/* ]]; do
        emit_dir "$p"
        local link
        for link in "$p"/link*/ata_link/link*; do
            [[ -d $link ]] && { echo "d ${link#/}"; emit_file "$link/sata_spd"; }
        done
        if [[ $(basename "$(readlink "$p/subsystem" 2>/dev/null || true)") == nvme-subsystem ]]; then
            for link in "$p"/nvme[0-9]*; do emit_link "$link"; done
        fi
        p=$(dirname "$p")
    done
    if [[ -L "$sys/device" ]]; then
        local dev
        dev=$(readlink -f "$sys/device")
        emit_dir "$dev"
    fi
    # The device node as a sparse file of the device's size.
    local sectors
    sectors=$(cat "$sys/size")
    echo "m dev/$name $((sectors * 512))"
    if [[ $EUID -eq 0 && ! -f $sys/partition ]]; then
        if command -v sg_sat_identify >/dev/null && sg_sat_identify -r "/dev/$name" >/tmp/.tav-id 2>/dev/null; then
            echo "x ioctl/$name/identify $(od -An -tx1 -v /tmp/.tav-id | tr -s ' \n' ' ')"
        fi
        rm -f /tmp/.tav-id
    fi
}

names=("$@")
if ((${#names[@]} == 0)); then
    mapfile -t names < <(ls /sys/class/block)
fi
echo "# Recorded on $(uname -n) ($(uname -r)) by record-tree.sh"
for n in "${names[@]}"; do record_block "$n"; done
while IFS= read -r line; do
    line=${line//\\/\\\\}
    echo "a proc/self/mountinfo \"${line//\"/\\\"}\""
done < /proc/self/mountinfo
while IFS= read -r line; do
    echo "a proc/devices \"$line\""
done < /proc/devices
