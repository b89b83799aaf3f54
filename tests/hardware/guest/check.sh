#!/usr/bin/bash
# SPDX-License-Identifier: MIT
# Compares every field of `tavdisk list --json` with two independent
# sources: what the qemu command line configured (disks.sh) and what the
# reference tools (lsblk, smartctl, sg3_utils, hdparm, lspci, sysfs) report
# in the same guest. Runs inside the guest after guest.sh collected the
# answers, and just as well on the host over a copy of the results:
#
#   check.sh RESULTS_DIR HW_DIR     (HW_DIR holds disks.sh and guest.conf)
#
# One line per check:
#   PASS|FAIL <disk> <field> :: tavdisk=<value> | <source>=<value> ...
#   EXPLAINED <disk> <field> :: ... -- <why Windows semantics differ from Linux here>
#   INFO <disk> <field> :: <what was seen>
# and a SUMMARY line. Exit status 1 when a check failed.
set -uo pipefail
export LC_ALL=C

RES=${1:?results directory}
HW=${2:?directory of disks.sh}
# shellcheck source=../disks.sh
source "$HW/disks.sh"
# shellcheck disable=SC1091
source "$HW/guest.conf"
R=$RES/ref
J=$RES/tavdisk/list.json
PCI_IDS=${TAVHW_PCI_IDS:-/usr/share/misc/pci.ids}

npass=0 nfail=0 nexpl=0

# Where Windows semantics, which the backend presents, differ from what
# Linux tools show. Each EXPLAINED line names one of these.
declare -A WHY=(
    [letters]="Linux has no drive letters: every disk answers an empty drive-letter list."
    [sysvol]="There is no Windows directory on Linux, so no disk holds the system volume."
    [geometry]="The geometry (cylinders x heads x sectors per track) rounds the disk down to whole cylinders, as Windows' disk driver does; its capacity is below the size Linux tools report. Heads and sectors per track are HDIO_GETGEO's where that answer describes the disk, else 255 and 63."
    [nvme-vendor]="NVMe has no vendor field: the Windows NVMe driver's device descriptor and its INQUIRY translation name the vendor 'NVMe'; smartctl and sysfs have no vendor."
    [nvme-address]="An NVMe namespace has no SCSI address on Linux; the Windows NVMe driver presents port = controller, path 0, target 0, LUN = namespace ID - 1."
    [virtio-strings]="virtio-blk carries only a serial number; Linux has no vendor/product/revision for it (lsblk shows the PCI vendor 0x1af4). The backend names it vendor 'Virtio', product 'Block Device', and its INQUIRY translation repeats those with a blank revision."
    [virtio-address]="A virtio-blk disk has no SCSI address on Linux (no HCTL); the request fails (the library's getters then answer 0:0:0:0) and tavdisk shows no address."
    [usb-parent]="On Windows the parent of a USB disk is the USB device node, described by its INF ('USB Mass Storage Device', 'USB Attached SCSI (UAS) Mass Storage Device'); Linux has no INF, so the backend describes the USB device by its manufacturer and product strings."
    [ata-inquiry]="ATA disks are answered from IDENTIFY: the library does not read INQUIRY text on them (null), although libata's SCSI translation answers INQUIRY on Linux."
    [dm-disk]="Linux lists the device-mapper volume as a block device of its own; the backend presents it as a disk on a RAID bus; its file system is a volume on that disk and on the disks under it."
    [wwn-unkept]="The kernel keeps no Device Identification page and no wwid for this disk (usb-storage does not read VPD pages); the backend takes the identifiers sysfs keeps and asks the device nothing for them, so the disk tells no world-wide name, while udev asks the device itself for the WWN lsblk shows."
    [md-disk]="Linux lists the software RAID as a block device of its own; the backend presents it as a disk on a RAID bus; its file system is a volume on that disk and on its member disks."
)
declare -A why_used=()

show() { # a value for the report: quoted, non-printable bytes as \xHH
    local v=$1
    [[ $v == "<null>" || $v == "<n/a>" ]] && { printf '%s' "$v"; return; }
    local out="" i c
    for ((i = 0; i < ${#v}; i++)); do
        c=${v:i:1}
        case $c in
        [[:print:]]) out+=$c ;;
        *) out+=$(printf '\\x%02x' "'$c") ;;
        esac
    done
    printf '"%s"' "$out"
}

line() { echo "$*"; }

# check DISK FIELD TAVDISK_VALUE SOURCE=VALUE... ; "<n/a>" values are skipped
check() {
    local disk=$1 field=$2 tav=$3
    shift 3
    local status=PASS detail compared=0 s name val
    detail="tavdisk=$(show "$tav")"
    for s in "$@"; do
        name=${s%%=*} val=${s#*=}
        detail+=" | $name=$(show "$val")"
        [[ $val == "<n/a>" ]] && continue
        compared=$((compared + 1))
        [[ $val == "$tav" ]] || status=FAIL
    done
    ((compared)) || status=FAIL detail+=" (no source to compare with)"
    if [[ $status == PASS ]]; then npass=$((npass + 1)); else nfail=$((nfail + 1)); fi
    line "$status $disk $field :: $detail"
}

# explained DISK FIELD TAVDISK_VALUE EXPECTED LINUX_VIEW WHY_KEY
# PASS as EXPLAINED when tavdisk gives the Windows-semantics value.
explained() {
    local disk=$1 field=$2 tav=$3 want=$4 linux=$5 key=$6
    why_used[$key]=1
    if [[ $tav == "$want" ]]; then
        nexpl=$((nexpl + 1))
        line "EXPLAINED $disk $field :: tavdisk=$(show "$tav") | expected=$(show "$want") | linux=$(show "$linux") -- [$key]"
    else
        nfail=$((nfail + 1))
        line "FAIL $disk $field :: tavdisk=$(show "$tav") | expected=$(show "$want") | linux=$(show "$linux") -- [$key]"
    fi
}

info() { line "INFO $1 $2 :: $3"; }

# ---- Text helpers ----------------------------------------------------------

# Trimmed as the library trims: leading spaces, trailing spaces and NULs.
trim() {
    local s=$1
    s=${s#"${s%%[! ]*}"}
    s=${s%"${s##*[! ]}"}
    printf '%s' "$s"
}
# Hex of a file (lowercase, no spaces).
hexof() { [[ -s $1 ]] && od -An -tx1 -v "$1" | tr -d ' \n'; }
# Text of bytes OFFSET..OFFSET+LEN of a hex string, trimmed; NULs at the end
# are stripped, other non-printable bytes kept.
hextext() {
    local hex=$1 off=$2 len=$3 part
    part=${hex:$((off * 2)):$((len * 2))}
    while [[ ${part: -2} == 00 || ${part: -2} == 20 ]]; do part=${part:0:-2}; done
    while [[ ${part:0:2} == 20 ]]; do part=${part:2}; done
    local out="" i
    for ((i = 0; i < ${#part}; i += 2)); do
        if [[ ${part:i:2} == 00 ]]; then out+='\x00'; else out+=$(printf "\\x${part:i:2}"); fi
    done
    printf '%s' "$out"
}
hexnum() { printf '%d' "0x${1:-0}"; } # big-endian hex to decimal

# IDENTIFY words from `hdparm --Istdout` (each word printed as 4 hex digits).
declare -a IDW=()
load_identify() {
    IDW=()
    [[ -s $1 ]] || return 1
    mapfile -t IDW < <(grep -oE '\b[0-9a-fA-F]{4}\b' "$1" | head -256)
    ((${#IDW[@]} == 256))
}
idword() { printf '%d' "0x${IDW[$1]}"; }
idstring() { # first word, count: characters in reading order (high byte first)
    local hex="" i
    for ((i = $1; i < $1 + $2; i++)); do hex+=${IDW[$i]}; done
    hextext "$hex" 0 $(($2 * 2))
}

# libata's INQUIRY revision: the last four firmware characters unless
# blank, else the first four.
libata_rev() {
    local fw
    fw=$(printf '%-8.8s' "$1")
    local r=${fw:4:4}
    [[ $r == "    " ]] && r=${fw:0:4}
    trim "$r"
}

# Vendor and device names from the PCI ID database, as lspci -mm gives them.
pci_name() { # vvvv:dddd
    local v=${1%%:*} d=${1##*:}
    awk -v v="$v" -v d="$d" '
        /^#/ { next }
        /^[0-9a-f][0-9a-f][0-9a-f][0-9a-f]  / { inv = ("" $1 == "" v); if (inv) vendor = substr($0, 7); next }
        inv && /^\t[0-9a-f][0-9a-f][0-9a-f][0-9a-f]  / { if ("" $1 == "" d) { print vendor " " substr($0, 8); exit } }
        /^[^\t]/ { inv = 0 }
    ' "$PCI_IDS"
}

bus_of_tran() { # lsblk TRAN and kernel name -> STORAGE_BUS_TYPE name
    case $1 in
    sata) echo SATA ;; ata) echo ATA ;; usb) echo USB ;; nvme) echo NVMe ;; spi) echo SCSI ;;
    sas) echo SAS ;; fc) echo Fibre ;; iscsi) echo iSCSI ;; mmc) echo MMC ;;
    *) case $2 in sd*) echo SCSI ;; vd*) echo Virtual ;; dm-*) echo RAID ;; *) echo Unknown ;; esac ;;
    esac
}

# ---- tavdisk ---------------------------------------------------------------
if [[ ! -s $J ]] || ! jq -e 'has("disks")' "$J" >/dev/null 2>&1; then
    line "FAIL all tavdisk.list :: tavdisk list --json gave no document (rc $(cat "$RES/tavdisk/list-json.rc" 2>/dev/null)): $(head -c 300 "$RES/tavdisk/list-json.err" 2>/dev/null)"
    echo "SUMMARY pass=0 fail=1 explained=0"
    exit 1
fi
check all privileged "$(jq -r '.privileged' "$J")" expected=true
check all notes "$(jq -r '.notes | join("; ")' "$J")" expected=""

declare -A TV=()
load_tavdisk() { # device path [listing, default: root's]
    TV=()
    local k v
    while IFS=$'\t' read -r k v; do TV[$k]=$v; done < <(jq -r --arg p "$1" '
        .disks[] | select(.device_path == $p) |
        (paths(type != "object" and type != "array") as $k | [($k | map(tostring) | join(".")),
            (getpath($k) | if . == null then "<null>" elif type == "string" then gsub("\u0000"; "\\x00") else tojson end)]
            | @tsv),
        (["mounts.set", (.volumes.mount_points | sort | join("|"))] | @tsv),
        (["letters", (.volumes.drive_letters | join(","))] | @tsv),
        (["ata", (if .ata == null then "<null>" else "object" end)] | @tsv)' "${2:-$J}")
}
t() { printf '%s' "${TV[$1]-<absent>}"; }

declare -A LB=()
load_lsblk() { # kernel name
    LB=()
    local k v
    while IFS=$'\t' read -r k v; do LB[$k]=$v; done < <(jq -r --arg n "$1" '
        first(.blockdevices[] | .. | objects | select(.kname == $n)) |
        (["name", .name], ["hctl", .hctl // "<null>"], ["tran", .tran // ""], ["size", .size], ["log-sec", ."log-sec"],
         ["vendor", .vendor // "<null>"], ["model", .model // "<null>"], ["rev", .rev // "<null>"],
         ["phy-sec", ."phy-sec"], ["alignment", .alignment], ["rota", .rota], ["disc-max", ."disc-max"],
         ["ro", .ro], ["rm", .rm], ["wwn", .wwn // "<null>"],
         ["mounts", ([.. | objects | .mountpoints? // empty | .[] | select(. != null)] | unique | join("|"))])
        | map(tostring) | @tsv' "$R/lsblk.json")
}
l() { printf '%s' "${LB[$1]-<n/a>}"; }

declare -A SY=()
load_sys() { # kernel name: key=value lines guest.sh wrote
    SY=()
    local k v
    [[ -r $R/$1.sys.txt ]] || return
    while IFS='=' read -r k v; do [[ -n $k ]] && SY[$k]=$v; done <"$R/$1.sys.txt"
}
s() { printf '%s' "${SY[$1]-<n/a>}"; }

declare -A SM=()
load_smartctl() { # kernel name: the fields of smartctl -j -i used below
    SM=()
    local k v
    while IFS=$'\t' read -r k v; do SM[$k]=$v; done < <(jq -r '
        (["model_name", "serial_number", "firmware_version", "logical_block_size", "scsi_vendor", "scsi_product",
          "scsi_revision", "scsi_model_name"][] as $k | select(has($k)) | [$k, (.[$k] | tostring)] | @tsv),
        (select(.user_capacity.blocks) | ["user_capacity.blocks", (.user_capacity.blocks | tostring)] | @tsv)
        ' "$R/$1.smartctl.json" 2>/dev/null)
}
sm() { # smartctl field, <n/a> when smartctl did not give it
    local k=${1#.}
    printf '%s' "${SM[$k]-<n/a>}"
}

# STORAGE_BUS_TYPE values.
declare -A BUSTYPE=([SCSI]=1 [ATAPI]=2 [ATA]=3 [USB]=7 [RAID]=8 [SAS]=10 [SATA]=11 [Virtual]=14 [NVMe]=17)

# ---- Per disk --------------------------------------------------------------
declare -A checked_paths=() CTRL=() PARENT=() DEVINST=()
while read -r id n; do
    if [[ -z ${n:-} ]]; then
        nfail=$((nfail + 1))
        line "FAIL $id present :: the guest found no disk with serial ${D[$id.serial]} (kernel did not attach it)"
        continue
    fi
    kind=${D[$id.kind]}
    path=/dev/$n
    checked_paths[$path]=1
    load_tavdisk "$path"
    load_lsblk "$n"
    load_sys "$n"
    load_smartctl "$n"
    if ((${#TV[@]} == 0)); then
        nfail=$((nfail + 1))
        line "FAIL $id listed :: tavdisk lists no disk with device path $path"
        continue
    fi
    info "$id" disk "$path, tavdisk disk $(t number), kind $kind, lsblk HCTL $(l hctl), TRAN $(l tran)"
    check "$id" accessible "$(t accessible)" expected=true
    lbs=${D[$id.lbs]} size=${D[$id.size]}
    sectors=$((size / lbs))

    # Bus type.
    check "$id" bus.name "$(t bus.name)" config="${D[$id.bus]}" lsblk.tran="$(bus_of_tran "$(l tran)" "$n")"
    check "$id" bus.type "$(t bus.type)" config="${BUSTYPE[${D[$id.bus]}]:-<n/a>}"

    # Device nodes: the parent is the controller (compared across disks below).
    CTRL[$id]=$(s usb)
    [[ ${CTRL[$id]} == "<n/a>" ]] && CTRL[$id]=$(s pci)
    PARENT[$id]=$(t parent_instance) DEVINST[$id]=$(t device_instance)

    # Sector count, sector size, capacity.
    case $kind in
    ata)
        load_identify "$R/$n.identify.txt" || info "$id" identify "hdparm --Istdout gave no IDENTIFY data"
        if ((${#IDW[@]} == 256)); then
            if (($(idword 83) & 0x400)); then
                idsec=$(($(idword 100) + ($(idword 101) << 16) + ($(idword 102) << 32) + ($(idword 103) << 48)))
            else
                idsec=$(($(idword 60) + ($(idword 61) << 16)))
            fi
        else
            idsec="<n/a>"
        fi
        check "$id" sectors "$(t sectors)" config="$sectors" hdparm.identify="$idsec" smartctl="$(sm .user_capacity.blocks)"
        ;;
    virtio)
        check "$id" sectors "$(t sectors)" config="$sectors" lsblk="$(($(l size) / $(l log-sec)))" \
            blockdev="$(($(head -1 "$R/$n.blockdev.txt") / lbs))"
        ;;
    *)
        rc16=$(hexof "$R/$n.rc16.bin")
        rcsec="<n/a>"
        [[ -n $rc16 ]] && rcsec=$(($(hexnum "${rc16:0:16}") + 1))
        check "$id" sectors "$(t sectors)" config="$sectors" sg_readcap16="$rcsec" smartctl="$(sm .user_capacity.blocks)"
        ;;
    esac
    if ((sectors > 0xFFFFFFFF)) && [[ $kind == scsi ]]; then
        rc10=$(hexof "$R/$n.rc10.bin")
        check "$id" ref.read_capacity10_last_lba "ffffffff" sg_readcap10="${rc10:0:8}"
    fi
    if ((sectors > 0xFFFFFFFF)) && [[ $kind == ata ]] && ((${#IDW[@]} == 256)); then
        check "$id" ref.identify_words_60_61 "268435455" hdparm.identify="$(($(idword 60) + ($(idword 61) << 16)))"
    fi
    check "$id" geometry.bytes_per_sector "$(t geometry.bytes_per_sector)" config="$lbs" lsblk.log-sec="$(l log-sec)" \
        smartctl="$(sm .logical_block_size)"
    check "$id" capacity.bytes "$(t capacity.bytes)" config="$size" lsblk.size="$(l size)"
    check "$id" capacity.source "$(t capacity.source)" expected=sectors

    # Physical facts against lsblk (bytes, booleans as lsblk gives them).
    check "$id" physical.physical_sector_bytes "$(t physical.physical_sector_bytes)" lsblk.phy-sec="$(l phy-sec)"
    check "$id" physical.alignment_offset "$(t physical.alignment_offset)" lsblk.alignment="$(l alignment)"
    check "$id" physical.rotational "$(t physical.rotational)" lsblk.rota="$(l rota)"
    disc=$(l disc-max)
    [[ $disc =~ ^[0-9]+$ ]] && disc=$([[ $disc != 0 ]] && echo true || echo false)
    check "$id" physical.trim "$(t physical.trim)" lsblk.disc-max="$disc"
    check "$id" physical.read_only "$(t physical.read_only)" lsblk.ro="$(l ro)"
    check "$id" physical.removable "$(t physical.removable)" lsblk.rm="$(l rm)"
    # The world-wide name against the kernel's wwid and lsblk's WWN. udev
    # writes a NAA or EUI-64 name as 0x and its hex digits (the kind not
    # told: compared as the digits after tavdisk's "naa." or "eui."); it
    # writes an NVMe namespace's wwid as it stands, and has no WWN for a
    # name of T10 vendor text.
    wwn=$(t physical.wwn) lwwn=$(l wwn)
    case $lwwn in
    "<null>" | "") lwwn="<n/a>" ;;
    0x*) [[ $wwn == naa.* || $wwn == eui.* ]] && lwwn=${wwn:0:4}$(printf '%s' "${lwwn#0x}" | tr 'A-F' 'a-f') ;;
    esac
    # A disk whose identification page holds no name the kernel takes has
    # an empty wwid.
    wwid=$(s sysfs.wwid)
    if [[ $wwid != "<n/a>" && -n $wwid ]]; then
        check "$id" physical.wwn "$wwn" sysfs.wwid="$wwid" lsblk.wwn="$lwwn" config="${D[$id.wwn]:-<n/a>}"
    elif [[ $lwwn == "<n/a>" ]]; then
        check "$id" physical.wwn "$wwn" expected="<null>"
    else
        explained "$id" physical.wwn "$wwn" "<null>" "$lwwn" wwn-unkept
    fi

    # Health against smartctl -a beside it: an ATA disk's verdict,
    # temperature and power-on hours, an NVMe disk's temperature, percentage
    # used and spare; a disk smartctl finds no health on reads unknown.
    hv() { jq -r --arg p "$path" '.disks[] | select(.device_path == $p) | .health.'"$1"' |
        if . == null then "<null>" else tostring end' "$RES/tavdisk/list-health.json" 2>/dev/null; }
    sa() { jq -r "($1) | if . == null then \"<n/a>\" else tostring end" "$R/$n.smartctl-a.json" 2>/dev/null ||
        echo "<n/a>"; }
    verdict=$(sa '.smart_status.passed | if . == null then null elif . then "passed" else "failing" end')
    case $kind in
    ata)
        check "$id" health.verdict "$(hv verdict)" smartctl="$verdict"
        check "$id" health.temperature_celsius "$(hv temperature_celsius)" smartctl="$(sa .temperature.current)"
        check "$id" health.power_on_hours "$(hv power_on_hours)" smartctl="$(sa .power_on_time.hours)"
        ;;
    nvme)
        check "$id" health.verdict "$(hv verdict)" smartctl="$verdict"
        check "$id" health.temperature_celsius "$(hv temperature_celsius)" \
            smartctl="$(sa .nvme_smart_health_information_log.temperature)"
        check "$id" health.percentage_used "$(hv percentage_used)" \
            smartctl="$(sa .nvme_smart_health_information_log.percentage_used)"
        check "$id" health.available_spare "$(hv available_spare)" \
            smartctl="$(sa .nvme_smart_health_information_log.available_spare)"
        ;;
    *)
        [[ $verdict == "<n/a>" ]] && verdict=unknown
        check "$id" health.verdict "$(hv verdict)" smartctl="$verdict"
        [[ $(hv verdict) == unknown ]] && info "$id" health.reason "$(hv reason)"
        ;;
    esac
    # What health costs this disk: the ioctls list --health sends it beyond
    # those of list, one per health command of its protocol (ATA: READ DATA,
    # READ THRESHOLDS, RETURN STATUS; NVMe: the health log), never more than
    # smartctl -H -A sends it.
    if [[ -f $RES/tavdisk/strace-health.txt && -f $RES/tavdisk/$n.strace-smartctl.txt ]]; then
        added=$(($(grep -cF "</dev/$n>" "$RES/tavdisk/strace-health.txt") - $(grep -cF "</dev/$n>" "$RES/tavdisk/strace-list.txt")))
        smart=$(grep -cF "</dev/$n>" "$RES/tavdisk/$n.strace-smartctl.txt")
        info "$id" health.ioctls "list --health adds $added; smartctl -H -A sends $smart"
        case $kind in
        ata) check "$id" health.ioctls "$added" expected=3 ;;
        nvme) check "$id" health.ioctls "$added" expected=1 ;;
        esac
        check "$id" health.ioctls_at_most_smartctl "$((added <= smart))" expected=1
    fi

    # Partition table against sfdisk --json beside it: style, table id and
    # each partition's number, offset, length, MBR type and active flag or
    # GPT type, GUID and name; a disk sfdisk finds no table on has none.
    # Where a partition holds a mounted file system, its mount points
    # against findmnt's for the partition's node.
    tavparts=$(jq -r '.disks[0].partitions | if . == null then "<null>" else
        ([.style, (.id // "-")] + [.entries[] | [.number, .offset, .length, (.mbr_type // "-"), (if .active == null then "-" else .active end),
            (.type_guid // "-"), (.guid // "-"), (.name // "-")] | map(tostring) | join(":")]) | join(" ") end' \
        "$RES/tavdisk/$n.show.json" 2>/dev/null || echo "<no show document>")
    sfparts=$(jq -r 'def hex: ascii_downcase | explode | reduce .[] as $c (0; . * 16 + (if $c >= 97 then $c - 87 else $c - 48 end));
        .partitiontable as $t | ($t.sectorsize // 512) as $ss | ($t.label == "gpt") as $gpt |
        ([(if $t.label == "dos" then "mbr" else $t.label end), ($t.id // "-")] + [$t.partitions[] |
            [(.node | capture("(?<n>[0-9]+)$").n), (.start * $ss), (.size * $ss),
             (if $gpt then "-" else (.type | hex) end), (if $gpt then "-" else (.bootable // false) end),
             (if $gpt then .type else "-" end), (if $gpt then .uuid else "-" end), (if $gpt then (.name // "") else "-" end)]
            | map(tostring) | join(":")]) | join(" ")' "$R/$n.sfdisk.json" 2>/dev/null)
    [[ -n $sfparts ]] || sfparts="none -"
    check "$id" partitions "$tavparts" sfdisk="$sfparts"
    if [[ -n ${D[$id.mounts]} ]] && ! [[ " ${TAVHW_SPAN_DISKS[*]} " == *" $id "* ]]; then
        while IFS=$'\t' read -r node tavmounts; do
            fm=$(jq -r --arg s "$node" '[.. | objects | select(has("target")) | select((.source // "") | sub("\\[.*\\]$"; "") == $s)
                | .target] | sort | join("|")' "$R/findmnt.json")
            check "$id" "partition.${node##*/}.mount_points" "$tavmounts" findmnt="$fm"
        done < <(jq -r --arg d "$path" '.disks[0].partitions.entries[]? |
            [($d + (if ($d | test("[0-9]$")) then "p" else "" end) + (.number | tostring)), (.mount_points | sort | join("|"))]
            | @tsv' "$RES/tavdisk/$n.show.json" 2>/dev/null)
    fi

    # Geometry: heads and sectors per track from HDIO_GETGEO (hdparm -g)
    # when its answer is consistent with the size, else 255/63.
    g=$(sed -n 's/.*geometry *= *\([0-9]*\)\/\([0-9]*\)\/\([0-9]*\).*/\1 \2 \3/p' "$R/$n.hdparm-g.txt" 2>/dev/null)
    read -r gc gh gs <<<"${g:-0 0 0}"
    wh=255 ws=63
    if ((lbs == 512 && gh > 0 && gh <= 255 && gs > 0 && gs <= 63)); then
        comp=$((size / (gh * gs * 512)))
        if ((comp == gc || (comp > 65535 && (gc == 65535 || gc == (comp & 65535))))); then wh=$gh ws=$gs; fi
    fi
    check "$id" geometry.tracks_per_cylinder "$(t geometry.tracks_per_cylinder)" hdparm-g.rule="$wh"
    check "$id" geometry.sectors_per_track "$(t geometry.sectors_per_track)" hdparm-g.rule="$ws"
    cyl=$((size / (wh * ws * lbs)))
    check "$id" geometry.cylinders "$(t geometry.cylinders)" config.size="$cyl"
    explained "$id" geometry.capacity_bytes "$(t geometry.capacity_bytes)" "$((cyl * wh * ws * lbs))" "$(l size)" geometry
    [[ -n $g ]] && info "$id" hdparm.geometry "HDIO_GETGEO: $gc/$gh/$gs (C/H/S)"

    # Identity strings.
    inq=$(hexof "$R/$n.inq.bin")
    vpd=$(hexof "$R/$n.vpd80.bin")
    vpdserial="<n/a>"
    [[ -n $vpd ]] && vpdserial=$(hextext "$vpd" 4 "$(hexnum "${vpd:4:4}")")
    iv="<n/a>" ip="<n/a>" ir="<n/a>"
    if [[ -n $inq ]]; then iv=$(hextext "$inq" 8 8) ip=$(hextext "$inq" 16 16) ir=$(hextext "$inq" 32 4); fi
    case $kind in
    ata)
        model=${D[$id.model]} serial=${D[$id.serial]} fw=${D[$id.fw]}
        if ((${#IDW[@]} == 256)); then
            hm=$(idstring 27 20) hs=$(idstring 10 10) hf=$(idstring 23 4)
            w82=$(idword 82) w83=$(idword 83) w89=$(idword 89) w90=$(idword 90)
        else
            hm="<n/a>" hs="<n/a>" hf="<n/a>" w82=0 w83=0 w89=0 w90=0
        fi
        check "$id" model "$(t model)" config="$model" hdparm.identify="$hm" smartctl="$(sm .model_name)"
        check "$id" serial "$(t serial)" config="$serial" hdparm.identify="$hs" smartctl="$(sm .serial_number)"
        check "$id" revision "$(t revision)" config="$fw" hdparm.identify="$hf" smartctl="$(sm .firmware_version)"
        check "$id" ata.model "$(t ata.model)" config="$model" hdparm.identify="$hm"
        check "$id" ata.serial "$(t ata.serial)" config="$serial" hdparm.identify="$hs"
        check "$id" ata.firmware_revision "$(t ata.firmware_revision)" config="$fw" hdparm.identify="$hf"
        check "$id" ata.supports_48bit_addressing "$(t ata.supports_48bit_addressing)" config=true \
            hdparm.identify.w83b10="$( ((w83 & 0x400)) && echo true || echo false)"
        check "$id" ata.supports_security "$(t ata.supports_security)" config=false \
            hdparm.identify.w82b1="$( ((w82 & 2)) && echo true || echo false)"
        check "$id" ata.security_erase_unit_minutes "$(t ata.security_erase_unit_minutes)" config=0 \
            hdparm.identify.w89="$(((w89 * 2) & 0xFFFF))"
        check "$id" ata.enhanced_security_erase_unit_minutes "$(t ata.enhanced_security_erase_unit_minutes)" config=0 \
            hdparm.identify.w90="$(((w90 * 2) & 0xFFFF))"
        IFS=: read -r hh hc ht hl <<<"$(l hctl)"
        check "$id" ata.controller_number "$(t ata.controller_number)" config.host="${D[$id.host]:-<n/a>}" lsblk.hctl.host="${hh:-<n/a>}"
        check "$id" ata.disk_number "$(t ata.disk_number)" config.unit="${D[$id.target]:-0}" lsblk.hctl.target="${ht:-<n/a>}"
        # The device descriptor: libata's SCSI translation of IDENTIFY.
        check "$id" descriptor.vendor "$(t descriptor.vendor)" config.libata=ATA sg_inq="$iv"
        check "$id" descriptor.product "$(t descriptor.product)" config.libata="$(trim "${model:0:16}")" sg_inq="$ip"
        check "$id" descriptor.revision "$(t descriptor.revision)" config.libata="$(libata_rev "$fw")" sg_inq="$ir"
        check "$id" descriptor.serial "$(t descriptor.serial)" config="$serial" sg_vpd.sn="$vpdserial"
        for f in vendor product revision; do
            explained "$id" "scsi.$f" "$(t "scsi.$f")" "<null>" "$(case $f in vendor) echo "$iv" ;; product) echo "$ip" ;; *) echo "$ir" ;; esac)" ata-inquiry
        done
        ;;
    scsi | uas | usb-bot)
        vendor=${D[$id.vendor]:-QEMU} product=${D[$id.product]:-QEMU HARDDISK} rev=${D[$id.rev]:-2.5+}
        serial=${D[$id.serial]}
        check "$id" ata "$(t ata)" expected="<null>"
        check "$id" scsi.vendor "$(t scsi.vendor)" config="$vendor" sg_inq="$iv" smartctl="$(sm .scsi_vendor)"
        check "$id" scsi.product "$(t scsi.product)" config="$product" sg_inq="$ip" smartctl="$(sm .scsi_product)"
        check "$id" scsi.revision "$(t scsi.revision)" config="$rev" sg_inq="$ir" smartctl="$(sm .scsi_revision)"
        check "$id" descriptor.vendor "$(t descriptor.vendor)" config="$vendor" sg_inq="$iv" lsblk="$(trim "$(l vendor)")"
        check "$id" descriptor.product "$(t descriptor.product)" config="$product" sg_inq="$ip" lsblk="$(trim "$(l model)")"
        check "$id" descriptor.revision "$(t descriptor.revision)" config="$rev" sg_inq="$ir" lsblk="$(trim "$(l rev)")"
        check "$id" descriptor.serial "$(t descriptor.serial)" config="$serial" sg_vpd.sn="$vpdserial" smartctl="$(sm .serial_number)"
        check "$id" model "$(t model)" config="$vendor $product" sg_inq="$iv $ip" smartctl="$(sm .scsi_model_name)"
        check "$id" serial "$(t serial)" config="$serial" sg_vpd.sn="$vpdserial"
        check "$id" revision "$(t revision)" config="$rev" sg_inq="$ir"
        [[ $kind == usb-bot ]] && info "$id" strings "usb-storage's INQUIRY strings are qemu's own (QEMU / QEMU HARDDISK / 2.5+); the serial is the one set on the command line"
        ;;
    nvme)
        product="QEMU NVMe Ctrl" fw=$TAVHW_QEMU_VERSION serial=${D[$id.serial]}
        check "$id" ata "$(t ata)" expected="<null>"
        explained "$id" descriptor.vendor "$(t descriptor.vendor)" NVMe "<null>" nvme-vendor
        check "$id" descriptor.product "$(t descriptor.product)" config.qemu="$product" smartctl="$(sm .model_name)" \
            sysfs="$(trim "$(s sysfs.model)")"
        check "$id" descriptor.revision "$(t descriptor.revision)" config.qemu="$fw" smartctl="$(sm .firmware_version)" \
            sysfs="$(trim "$(s sysfs.firmware_rev)")"
        check "$id" descriptor.serial "$(t descriptor.serial)" config="$serial" smartctl="$(sm .serial_number)" \
            sysfs="$(trim "$(s sysfs.serial)")"
        # The INQUIRY answered by translation, against sg3_utils' own
        # SCSI-to-NVMe translation of the same command.
        sntl=$(hexof "$R/$n.sntl-inq.bin")
        sv="<n/a>" sp="<n/a>" sr="<n/a>"
        [[ -n $sntl ]] && sv=$(hextext "$sntl" 8 8) sp=$(hextext "$sntl" 16 16) sr=$(hextext "$sntl" 32 4)
        check "$id" scsi.vendor "$(t scsi.vendor)" config=NVMe sg3_utils.sntl="$sv"
        check "$id" scsi.product "$(t scsi.product)" config.qemu="${product:0:16}" sg3_utils.sntl="$sp"
        check "$id" scsi.revision "$(t scsi.revision)" config.qemu="${fw:0:4}" sg3_utils.sntl="$sr"
        check "$id" model "$(t model)" config="NVMe $product" smartctl="NVMe $(sm .model_name)"
        check "$id" serial "$(t serial)" config="$serial" smartctl="$(sm .serial_number)" sg_vpd.sn="$vpdserial"
        check "$id" revision "$(t revision)" config.qemu="${fw:0:4}" sg3_utils.sntl="$sr"
        ;;
    virtio)
        serial=${D[$id.serial]}
        check "$id" ata "$(t ata)" expected="<null>"
        explained "$id" descriptor.vendor "$(t descriptor.vendor)" Virtio "$(l vendor)" virtio-strings
        explained "$id" descriptor.product "$(t descriptor.product)" "Block Device" "$(l model)" virtio-strings
        explained "$id" descriptor.revision "$(t descriptor.revision)" "<null>" "$(l rev)" virtio-strings
        check "$id" descriptor.serial "$(t descriptor.serial)" config="$serial" sysfs="$(trim "$(s sysfs.serial)")"
        explained "$id" scsi.vendor "$(t scsi.vendor)" Virtio "<null>" virtio-strings
        explained "$id" scsi.product "$(t scsi.product)" "Block Device" "<null>" virtio-strings
        explained "$id" scsi.revision "$(t scsi.revision)" "<null>" "<null>" virtio-strings
        explained "$id" model "$(t model)" "Virtio Block Device" "<null>" virtio-strings
        check "$id" serial "$(t serial)" config="$serial" sysfs="$(trim "$(s sysfs.serial)")"
        explained "$id" revision "$(t revision)" "<null>" "<null>" virtio-strings
        ;;
    esac

    # SCSI address.
    IFS=: read -r hh hc ht hl <<<"$(l hctl)"
    case $kind in
    nvme)
        ctl=$(s nvme.controller) nsid=$(s nvme.nsid)
        explained "$id" scsi.address "$(t scsi.address.port):$(t scsi.address.bus):$(t scsi.address.target):$(t scsi.address.lun)" \
            "${ctl#nvme}:0:0:$((nsid - 1))" "$ctl namespace $nsid" nvme-address
        ;;
    virtio)
        explained "$id" scsi.address "$(t scsi.address)" "<null>" "$(l hctl)" virtio-address
        ;;
    *)
        check "$id" scsi.address.port "$(t scsi.address.port)" config.host="${D[$id.host]:-<n/a>}" lsblk.hctl="${hh:-<n/a>}" \
            sysfs="$(s device | cut -d: -f1)"
        check "$id" scsi.address.bus "$(t scsi.address.bus)" config="${D[$id.channel]:-0}" lsblk.hctl="${hc:-<n/a>}"
        check "$id" scsi.address.target "$(t scsi.address.target)" config="${D[$id.target]:-0}" lsblk.hctl="${ht:-<n/a>}"
        check "$id" scsi.address.lun "$(t scsi.address.lun)" config="${D[$id.lun]:-0}" lsblk.hctl="${hl:-<n/a>}"
        ;;
    esac

    # Volumes.
    fm=$(awk -F'\t' -v d="$n" '$1 == d {print $2}' "$R/findmnt-disks.txt" 2>/dev/null | sort -u | paste -sd'|' -)
    check "$id" volumes.mount_points "$(t mounts.set)" config="$(tr '|' '\n' <<<"${D[$id.mounts]}" | sort | paste -sd'|' -)" \
        lsblk="$(l mounts)" findmnt="$( [[ -f $R/findmnt-disks.txt ]] && printf '%s' "$fm" || echo "<n/a>")"
    mp_text=$(jq -r --arg p "$path" '.disks[] | select(.device_path == $p) | .volumes.mount_points | join("; ")' "$J")
    check "$id" volumes.mount_points_text "$(t volumes.mount_points_text)" joined.list="$mp_text"
    explained "$id" volumes.drive_letters "$(t letters)" "" "(none on Linux)" letters
    explained "$id" volumes.system_volume "$(t volumes.system_volume)" false "(no Windows directory)" sysvol

    # The disk as an unprivileged user sees it: opened for queries only, the
    # same bus, strings, number, size, sector size and mount points.
    root_view=$(for k in bus.name descriptor.vendor descriptor.product descriptor.revision descriptor.serial device_number; do
        printf '%s\t%s\n' "$k" "$(t $k)"; done)
    load_tavdisk "$path" "$RES/tavdisk/list-user.json"
    check "$id" user.access "$(t access)" expected=query
    while IFS=$'\t' read -r k v; do check "$id" "user.$k" "$(t "$k")" root="$v"; done <<<"$root_view"
    check "$id" user.capacity.bytes "$(t capacity.bytes)" lsblk.size="$(l size)"
    check "$id" user.geometry.bytes_per_sector "$(t geometry.bytes_per_sector)" lsblk.log-sec="$(l log-sec)"
    check "$id" user.volumes.mount_points "$(t mounts.set)" lsblk="$(l mounts)"
    load_tavdisk "$path"

    # Controller.
    case $kind in
    usb-bot | uas)
        usbname="$(s usb.manufacturer) $(s usb.product)"
        if [[ $kind == usb-bot ]]; then want="QEMU QEMU USB HARDDRIVE"; else want="QEMU USB Attached SCSI HBA"; fi
        check "$id" controller "$(t controller)" config.qemu="$want" sysfs.usb="$usbname"
        why_used[usb-parent]=1
        info "$id" controller.windows "Windows would describe this parent by its INF name [usb-parent]; the USB device's driver here: $(s usb.driver)"
        ;;
    *)
        slot=$(s pci)
        lspci_name=$(awk -v s="$slot" -F'"' '$1 ~ "^"s" " {print $4 " " $6}' "$R/lspci.txt")
        check "$id" controller "$(t controller)" config.pci.ids="$(pci_name "${D[$id.pci]}")" lspci="${lspci_name:-<n/a>}"
        ;;
    esac

    # The standard INQUIRYs that reached the disk through SG_IO, as
    # "allocation length:transfer length": the library's announces exactly
    # its 56 bytes (ATA disks are asked IDENTIFY instead).
    if [[ $n == sd* && -f $RES/tavdisk/strace.txt ]]; then
        inq=$(grep -F "</dev/$n>, SG_IO, " "$RES/tavdisk/strace.txt" |
            sed -n 's/.*cmdp="\\x12\\x00\\x00\\x00\\x\([0-9a-f][0-9a-f]\)\\x00".*dxfer_len=\([0-9]*\).*/\1 \2/p' |
            while read -r alloc len; do echo "$((16#$alloc)):$len"; done | sort -u | paste -sd, -)
        if [[ $kind == ata ]]; then want=none; else want=56:56; fi
        check "$id" inquiry.sg_io "${inq:-none}" expected="$want"
    fi

    # What the kernel logged about the disk while tavdisk ran: a tool that
    # asks a disk who it is must not make the kernel abort or reset it.
    if [[ -f $RES/dmesg-tavdisk.txt ]]; then
        hctl=$(l hctl)
        klog=$(grep -E "\[$n\]|$n:|(sd|scsi) ${hctl}:|scsi host${hctl%%:*}:" "$RES/dmesg-tavdisk.txt" |
            grep -ciE 'abort|reset|timed? ?out|error|fail')
        check "$id" kernel.log_during_tavdisk "$klog aborts/resets/errors" expected="0 aborts/resets/errors"
        ((klog)) && info "$id" kernel.log "$(grep -E "\[$n\]|$n:|(sd|scsi) ${hctl}:|scsi host${hctl%%:*}:" "$RES/dmesg-tavdisk.txt" |
            grep -iE 'abort|reset|timed? ?out|error|fail' | head -3 | sed 's/^\[ *[0-9.]*\] //' | paste -sd'|' -)"
    fi

    # Sector round trip (the host compares the image file after the guest stops).
    rt=$RES/rt/$id
    sector=${D[$id.rt]}
    wrc=$(cat "$rt/write.rc" 2>/dev/null || echo none)
    check "$id" roundtrip.read.exit "$(cat "$rt/read.rc" 2>/dev/null || echo none)" expected=0
    pattern=$(hexof "$HW/rt/$id.bin")
    if [[ -n ${D[$id.ro]:-} ]]; then
        # A read-only disk: the write fails, and the sector stays as it was.
        check "$id" roundtrip.write.exit "$([[ $wrc =~ ^[1-9][0-9]*$ ]] && echo refused || echo "$wrc")" expected=refused
        info "$id" roundtrip.write "$(head -c 300 "$rt/write.txt" 2>/dev/null)"
        pattern=$(hexof "$rt/before.bin")
    else
        check "$id" roundtrip.write.exit "$wrc" expected=0
    fi
    readback=$(sed 's/  |.*//' "$rt/read.txt" 2>/dev/null | cut -c10- | tr -d ' \n')
    check "$id" roundtrip.sector "$( [[ $readback == "$pattern" ]] && echo match || echo "differs (${#readback} hex digits read)")" \
        expected=match dd.after="$( [[ $(hexof "$rt/after.bin") == "$pattern" ]] && echo match || echo differs)"
    before=$(hexof "$rt/before.bin")
    [[ $before =~ ^0*$ ]] || info "$id" roundtrip.before "sector $sector was not all zero before the write"
    read0=$(sed 's/  |.*//' "$rt/read0.txt" 2>/dev/null | cut -c10- | tr -d ' \n')
    check "$id" readsector.0 "$( [[ -n $read0 && $read0 == "$(hexof "$rt/sector0.bin")" ]] && echo match || echo "differs (rc $(cat "$rt/read0.rc" 2>/dev/null))")" \
        dd=match
done <"$RES/map.txt"

# ---- The spanned volume and disks the table does not name ------------------
while IFS=$'\t' read -r path number bus sectors mounts; do
    [[ -n ${checked_paths[$path]:-} ]] && continue
    n=${path#/dev/}
    load_lsblk "$n"
    dmname=$(l name)
    if [[ $n == dm-* ]]; then
        explained "dm:$n" bus.name "$bus" RAID "device-mapper ${dmname}" dm-disk
        check "dm:$n" sectors "$sectors" lsblk="$(($(l size) / 512))" dm.table="$(awk '{s += $2} END {print s}' "$R/dm-table.txt")"
        check "dm:$n" volumes.mount_points "$mounts" lsblk="$(l mounts)"
    elif [[ $n == "$TAVHW_MD_NAME" ]]; then
        explained "md:$n" bus.name "$bus" RAID "software RAID $(cat "/sys/block/$n/md/level" 2>/dev/null)" md-disk
        check "md:$n" sectors "$sectors" lsblk="$(($(l size) / 512))"
        check "md:$n" volumes.mount_points "$mounts" lsblk="$(l mounts)"
    elif grep -qx "$n" "$R/md-members.txt" 2>/dev/null; then
        # A member shows the mount point of the RAID built on it.
        fm=$(awk -F'\t' -v d="$n" '$1 == d {print $2}' "$R/findmnt-disks.txt" | sort -u | paste -sd'|' -)
        check "md-member:$n" volumes.mount_points "$mounts" findmnt="$fm"
        check "md-member:$n" sectors "$sectors" lsblk="$(($(l size) / 512))"
    else
        info "$n" unexpected "tavdisk lists $path (disk $number, bus $bus), which disks.sh does not name"
    fi
done < <(jq -r '.disks[] | [.device_path, .number, .bus.name, (.sectors | tostring), (.volumes.mount_points | join("|"))] | @tsv' "$J")

# The write guard: a sector of the mounted device-mapper disk and one of the
# partition beneath it on a member disk are refused (exit 1) and unchanged.
G=$RES/guard
if ! compgen -G "$G/*.write.rc" >/dev/null; then
    nfail=$((nfail + 1))
    line "FAIL guard write :: the device-mapper write guard did not run (no mounted span volume)"
fi
if [[ -s $R/md-members.txt && ! -f $G/$TAVHW_MD_NAME.write.rc ]]; then
    nfail=$((nfail + 1))
    line "FAIL guard write :: the software RAID write guard did not run (no mounted $TAVHW_MD_NAME)"
fi
for rc in "$G"/*.write.rc; do
    [[ -f $rc ]] || continue
    n=$(basename "$rc" .write.rc)
    check "guard:$n" write.exit "$(cat "$rc")" expected=1
    check "guard:$n" write.refusal "$(grep -Eq 'mounted at|in use' "$G/$n.write.txt" && echo refused || head -c 200 "$G/$n.write.txt")" expected=refused
    check "guard:$n" sector.unchanged "$(cmp -s "$G/$n.before" "$G/$n.after" && echo same || echo changed)" expected=same
done

# Every disk under the spanned volume reports its mount point.
for id in "${TAVHW_SPAN_DISKS[@]}"; do
    [[ ${D[$id.mounts]} == *"$TAVHW_SPAN_MOUNT"* ]] || info "$id" span "disks.sh does not list $TAVHW_SPAN_MOUNT for $id"
done

# Disks on one controller share their parent device node; disks on
# different controllers do not; every disk has a node of its own.
ids=("${!PARENT[@]}")
for ((i = 0; i < ${#ids[@]}; i++)); do
    for ((j = i + 1; j < ${#ids[@]}; j++)); do
        a=${ids[i]} b=${ids[j]}
        same=$([[ ${PARENT[$a]} == "${PARENT[$b]}" ]] && echo same || echo different)
        want=$([[ ${CTRL[$a]} == "${CTRL[$b]}" ]] && echo same || echo different)
        check "$a+$b" parent_instance "$same" sysfs.controller="$want"
    done
done
dups=$(printf '%s\n' "${DEVINST[@]}" | sort | uniq -d | paste -sd, -)
check all device_instance.unique "${dups:-none}" expected=none

# Device numbers are unique.
dups=$(jq -r '[.disks[].device_number] | group_by(.) | map(select(length > 1) | .[0]) | map(tostring) | join(",")' "$J")
check all device_number.unique "${dups:-none}" expected=none

for k in "${!why_used[@]}"; do echo "WHY [$k] ${WHY[$k]}"; done | sort
echo "SUMMARY pass=$npass fail=$nfail explained=$nexpl"
((nfail == 0))
