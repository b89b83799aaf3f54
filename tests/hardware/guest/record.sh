#!/usr/bin/bash
# SPDX-License-Identifier: MIT
# Records what the Linux backend reads on the guest's disks as replay
# manifests (tests/linux/record-tree.sh's format, read by ReplayTree), one
# per group of disks in TAVHW_TREES (disks.sh):
#
#   record.sh RESULTS_DIR HW_DIR   ->   RESULTS_DIR/trees/<name>.tree
#
# record-tree.sh writes sysfs, the device nodes, /proc/self/mountinfo and
# the IDENTIFY data of ATA disks; this adds the answers that only the
# device gives, taken from what guest.sh asked the reference tools:
#   ioctl/<disk>/inquiry        standard INQUIRY (sg_inq -r)
#   ioctl/<disk>/vpd_pg80       unit serial number page (sg_vpd -p sn -r),
#                               which usb-storage does not copy to sysfs
#   ioctl/<disk>/hdio_geometry  "heads sectors cylinders" of HDIO_GETGEO
set -uo pipefail
export LC_ALL=C
RES=${1:?results directory}
HW=${2:?directory of disks.sh}
# shellcheck source=../disks.sh
source "$HW/disks.sh"
R=$RES/ref
mkdir -p "$RES/trees"

declare -A NAME=()
while read -r id n; do [[ -n ${n:-} ]] && NAME[$id]=$n; done <"$RES/map.txt"
span_dm=""
for d in /sys/block/dm-*; do
    [[ -r $d/dm/name && $(cat "$d/dm/name") == "$TAVHW_SPAN_NAME" ]] && span_dm=${d##*/}
done

hexline() { od -An -tx1 -v "$1" | tr -s ' \n' ' '; }

for tree in "${!TAVHW_TREES[@]}"; do
    names=() disks=()
    for id in ${TAVHW_TREES[$tree]}; do
        if [[ $id == span ]]; then
            [[ -n $span_dm ]] && names+=("$span_dm")
            continue
        fi
        n=${NAME[$id]:-}
        [[ -n $n ]] || continue
        disks+=("$n")
        names+=("$n")
        for p in /sys/block/"$n"/"$n"*; do [[ -d $p ]] && names+=("${p##*/}"); done
    done
    ((${#names[@]})) || continue
    out=$RES/trees/$tree.tree
    {
        echo "# QEMU $(cat /proc/version | cut -d' ' -f3) guest of tests/hardware/run.sh: ${TAVHW_TREES[$tree]}"
        for id in ${TAVHW_TREES[$tree]}; do
            [[ $id == span ]] && { echo "# span: $span_dm = device-mapper '$TAVHW_SPAN_NAME' over the first partitions, ext4 at $TAVHW_SPAN_MOUNT"; continue; }
            echo "# $id: ${NAME[$id]:-missing} = qemu ${D[$id.device]}; ${D[$id.size]} bytes, ${D[$id.lbs]}-byte sectors${D[$id.mounts]:+; mounted at ${D[$id.mounts]}}"
        done
        bash "$HW/record-tree.sh" "${names[@]}"
        for n in "${disks[@]}"; do
            [[ $n == sd* && -s $R/$n.inq.bin ]] && echo "x ioctl/$n/inquiry $(hexline "$R/$n.inq.bin")"
            [[ $n == sd* && -s $R/$n.vpd80.bin ]] && echo "x ioctl/$n/vpd_pg80 $(hexline "$R/$n.vpd80.bin")"
            g=$(sed -n 's/.*geometry *= *\([0-9]*\)\/\([0-9]*\)\/\([0-9]*\).*/\2 \3 \1/p' "$R/$n.hdparm-g.txt" 2>/dev/null)
            [[ -n $g ]] && echo "f ioctl/$n/hdio_geometry \"$g\""
        done
    } >"$out" 2>"$RES/trees/$tree.err"
    echo "$tree: ${names[*]} ($(wc -l <"$out") lines)"
done
