#!/usr/bin/bash
# SPDX-License-Identifier: MIT
# Runs inside the test guest (started by /init): loads the drivers, finds
# the disks of disks.sh by their serial numbers, lays out the volumes, asks
# the reference tools and tavdisk, does the sector round trips, runs the
# checks (check.sh), records the replay trees, and sends everything to the
# host as a base64 tar on the second serial port.
set -uo pipefail
export PATH=/usr/sbin:/usr/bin:/sbin:/bin:/busybox
export LC_ALL=C TERM=dumb DM_DISABLE_UDEV=1

HW=/hw
OUT=/results
mkdir -p "$OUT/ref" "$OUT/rt" "$OUT/trees"
# shellcheck source=../disks.sh
source "$HW/disks.sh"
# guest.conf is written by run.sh: the qemu version and the kernel.
# shellcheck disable=SC1091
source "$HW/guest.conf"

step() { echo "TAVHW-STEP $(cut -d' ' -f1 /proc/uptime) $*"; }
log() { echo "$*" >>"$OUT/guest.log"; }

# ---- Drivers ---------------------------------------------------------------
step "loading drivers"
usb_devices=0
for id in "${TAVHW_DISKS[@]}"; do
    [[ ${D[$id.kind]} == usb-bot || ${D[$id.kind]} == uas ]] && usb_devices=$((usb_devices + 1))
done
while read -r module params; do
    [[ -z $module ]] && continue
    if [[ $module == */usb-storage.ko ]]; then
        # Both USB disks enumerated before their drivers come: usb-storage
        # then takes the next SCSI host number, uas the one after.
        for _ in $(seq 1 100); do
            seen=0
            for u in /sys/bus/usb/devices/[0-9]*-[0-9]*; do
                [[ -e $u && ${u##*/} != *:* ]] && seen=$((seen + 1))
            done
            ((seen >= usb_devices)) && break
            sleep 0.1
        done
    fi
    # shellcheck disable=SC2086  # params are separate words
    if ! out=$(/busybox/insmod "$HW/modules/$module" $params 2>&1); then
        case $out in *"File exists"*) ;; *) log "insmod $module: $out" ;; esac
    fi
done <"$HW/modules.list"

# ---- Finding the disks -----------------------------------------------------
trim() { # leading spaces, trailing spaces
    local s=$1
    s=${s#"${s%%[! ]*}"}
    s=${s%"${s##*[! ]}"}
    printf '%s' "$s"
}

# The unit serial number in a VPD page 0x80 file (4 header bytes first).
vpd80_serial() { # (sysfs reports a size of 0 for VPD pages: copy first)
    cat "$1" >/tmp/vpd80.copy 2>/dev/null || return 1
    [[ -s /tmp/vpd80.copy ]] || return 1
    local n
    n=$(od -An -tu1 -j3 -N1 /tmp/vpd80.copy | tr -d ' ')
    trim "$(dd if=/tmp/vpd80.copy bs=1 skip=4 count="$n" 2>/dev/null | tr -d '\000')"
}

serial_of() { # kernel name of a whole disk
    local n=$1 s=""
    if [[ -r /sys/block/$n/serial ]]; then
        s=$(cat "/sys/block/$n/serial")
    elif [[ -r /sys/block/$n/device/serial ]]; then
        s=$(cat "/sys/block/$n/device/serial")
    elif [[ -r /sys/block/$n/device/vpd_pg80 ]]; then
        s=$(vpd80_serial "/sys/block/$n/device/vpd_pg80")
    else
        sg_vpd -p sn -r "/dev/$n" >/tmp/vpd80 2>/dev/null && s=$(vpd80_serial /tmp/vpd80)
    fi
    trim "$s"
}

declare -A NAME=()  # disk id -> kernel name
find_disks() {
    local n id s
    for n in /sys/block/*; do
        n=${n##*/}
        [[ $n == dm-* || $n == loop* ]] && continue
        s=$(serial_of "$n")
        for id in "${TAVHW_DISKS[@]}"; do
            [[ $s == "${D[$id.serial]}" ]] && NAME[$id]=$n
        done
    done
}
step "waiting for ${#TAVHW_DISKS[@]} disks"
for _ in $(seq 1 120); do
    NAME=()
    find_disks
    ((${#NAME[@]} == ${#TAVHW_DISKS[@]})) && break
    sleep 0.5
done
: >"$OUT/map.txt"
for id in "${TAVHW_DISKS[@]}"; do
    echo "$id ${NAME[$id]:-}" >>"$OUT/map.txt"
    [[ -n ${NAME[$id]:-} ]] || echo "TAVHW-MISSING $id: no disk with serial ${D[$id.serial]}"
done
step "disks: $(tr '\n' ' ' <"$OUT/map.txt")"
ls -l /sys/block/ >>"$OUT/guest.log" 2>&1

# ---- Volumes ---------------------------------------------------------------
part() { # partition N of a disk
    if [[ $1 == *[0-9] ]]; then echo "${1}p$2"; else echo "$1$2"; fi
}
wait_node() {
    local i
    for i in $(seq 1 50); do [[ -b $1 ]] && return 0; sleep 0.1; done
    log "no device node $1"
    return 1
}
run() { # a command whose failure is logged
    local out
    if ! out=$("$@" 2>&1); then
        log "FAILED: $* :: $out"
        echo "TAVHW-SETUP-FAILED $*"
        return 1
    fi
}

step "laying out volumes"
mkdir -p /mnt/tavdata /mnt/tavbind "/mnt/tav space" /mnt/tav4k "$TAVHW_SPAN_MOUNT" "$TAVHW_MD_MOUNT"
if n=${NAME[sata]:-}; [[ -n $n ]]; then
    printf 'label: dos\n,400MiB,83\n,200MiB,c\n' | run sfdisk -q "/dev/$n"
    wait_node "/dev/$(part "$n" 2)" &&
        run mkfs.ext4 -q -F -b 4096 -L tavdata "/dev/$(part "$n" 1)" &&
        run mkfs.vfat -n TAVSPACE "/dev/$(part "$n" 2)" &&
        run mount -t ext4 "/dev/$(part "$n" 1)" /mnt/tavdata &&
        run mount --bind /mnt/tavdata /mnt/tavbind &&
        run mount -t vfat "/dev/$(part "$n" 2)" "/mnt/tav space"
fi
if n=${NAME[lsi4k]:-}; [[ -n $n ]]; then
    printf 'label: dos\n,,83\n' | run sfdisk -q "/dev/$n"
    wait_node "/dev/$(part "$n" 1)" &&
        run mkfs.ext4 -q -F -b 4096 -L tav4k "/dev/$(part "$n" 1)" &&
        run mount -t ext4 "/dev/$(part "$n" 1)" /mnt/tav4k
fi
# Partition tables without file systems: GPT with named partitions on the
# virtio-scsi disk, MBR with logical partitions in an extended one on IDE.
if n=${NAME[vscsi]:-}; [[ -n $n ]]; then
    printf '%s\n' 'label: gpt' 'size=16MiB, type=L, name=tavfirst' \
        'size=8MiB, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name="tav two"' 'size=8MiB, type=U' |
        run sfdisk -q "/dev/$n"
    wait_node "/dev/$(part "$n" 3)"
fi
if n=${NAME[ide]:-}; [[ -n $n ]]; then
    printf '%s\n' 'label: dos' 'label-id: 0x7a5d15c0' 'size=8MiB, type=83, bootable' 'size=4MiB, type=7' \
        'size=32MiB, type=5' 'size=4MiB, type=82' 'size=4MiB, type=83' | run sfdisk -q "/dev/$n"
    wait_node "/dev/$(part "$n" 6)"
fi
table="" start=0 spanok=1
for id in "${TAVHW_SPAN_DISKS[@]}"; do
    n=${NAME[$id]:-}
    [[ -n $n ]] || { spanok=0; continue; }
    printf 'label: dos\n,,83\n' | run sfdisk -q "/dev/$n"
    p=$(part "$n" 1)
    wait_node "/dev/$p" || { spanok=0; continue; }
    size=$(cat "/sys/class/block/$p/size")
    table+="$start $size linear /dev/$p 0"$'\n'
    start=$((start + size))
done
if ((spanok)); then
    printf '%s' "$table" >"$OUT/ref/dm-table.txt"
    run dmsetup create --noudevsync "$TAVHW_SPAN_NAME" "$OUT/ref/dm-table.txt" &&
        wait_node "/dev/mapper/$TAVHW_SPAN_NAME" &&
        run mkfs.ext4 -q -F -b 4096 -L tavspan "/dev/mapper/$TAVHW_SPAN_NAME" &&
        run mount -t ext4 "/dev/mapper/$TAVHW_SPAN_NAME" "$TAVHW_SPAN_MOUNT"
fi
mdmembers=()
if [[ -d /sys/module/md_mod && -d /sys/module/raid1 ]]; then
    for i in 0 1; do
        truncate -s 48M "/tmp/tavmd$i.img"
        m=$(losetup -f --show "/tmp/tavmd$i.img") && mdmembers+=("${m#/dev/}")
    done
    ((${#mdmembers[@]} == 2)) &&
        run mdadm --create "/dev/$TAVHW_MD_NAME" --run --quiet --level=1 --raid-devices=2 --metadata=1.2 \
            --assume-clean "/dev/${mdmembers[0]}" "/dev/${mdmembers[1]}" &&
        wait_node "/dev/$TAVHW_MD_NAME" &&
        run mkfs.ext4 -q -F -b 4096 -L tavmd "/dev/$TAVHW_MD_NAME" &&
        run mount -t ext4 "/dev/$TAVHW_MD_NAME" "$TAVHW_MD_MOUNT"
else
    log "no md or raid1 module: no software RAID case"
fi
printf '%s\n' "${mdmembers[@]}" >"$OUT/ref/md-members.txt"
sync

# ---- Reference tools -------------------------------------------------------
step "asking the reference tools"
R=$OUT/ref
lsblk -J -b -O >"$R/lsblk.json" 2>"$R/lsblk.err"
findmnt -J -o TARGET,SOURCE,MAJ:MIN,FSTYPE >"$R/findmnt.json" 2>&1
# Each mount point with the whole disks under its device (through
# partitions and device-mapper slaves): "disk<TAB>mount point".
disks_under() { # sysfs directory of a block device
    local d=$1 s any=0
    if [[ -f $d/partition ]]; then
        basename "$(dirname "$d")"
        return
    fi
    for s in "$d"/slaves/*; do
        [[ -e $s ]] || continue
        any=1
        disks_under "$(readlink -f "$s")"
    done
    ((any)) || basename "$d"
}
jq -r '.. | objects | select(has("target")) | [."maj:min", .target] | @tsv' "$R/findmnt.json" |
    while IFS=$'\t' read -r majmin target; do
        [[ -e /sys/dev/block/$majmin ]] || continue
        for disk in $(disks_under "$(readlink -f "/sys/dev/block/$majmin")"); do
            printf '%s\t%s\n' "$disk" "$target"
        done
    done >"$R/findmnt-disks.txt"
cp /proc/self/mountinfo "$R/mountinfo.txt"
lspci -mm -D >"$R/lspci.txt" 2>&1
lspci -mm -n -D >"$R/lspci-n.txt" 2>&1
dmsetup table >"$R/dmsetup-table.txt" 2>&1
for id in "${TAVHW_DISKS[@]}"; do
    n=${NAME[$id]:-}
    [[ -n $n ]] || continue
    kind=${D[$id.kind]}
    smartopt=()
    [[ $kind == usb-bot || $kind == uas ]] && smartopt=(-d scsi)
    smartctl -j -i "${smartopt[@]}" "/dev/$n" >"$R/$n.smartctl.json" 2>&1
    smartctl -i "${smartopt[@]}" "/dev/$n" >"$R/$n.smartctl.txt" 2>&1
    smartctl -j -a "${smartopt[@]}" "/dev/$n" >"$R/$n.smartctl-a.json" 2>&1
    sg_inq -r "/dev/$n" >"$R/$n.inq.bin" 2>"$R/$n.inq.err"
    sg_inq "/dev/$n" >"$R/$n.inq.txt" 2>&1
    sg_vpd -p sn -r "/dev/$n" >"$R/$n.vpd80.bin" 2>"$R/$n.vpd80.err"
    sg_readcap -r "/dev/$n" >"$R/$n.rc10.bin" 2>"$R/$n.rc10.err"
    sg_readcap --16 -r "/dev/$n" >"$R/$n.rc16.bin" 2>"$R/$n.rc16.err"
    sg_readcap --16 "/dev/$n" >"$R/$n.rc16.txt" 2>&1
    hdparm -g "/dev/$n" >"$R/$n.hdparm-g.txt" 2>&1
    # sg3_utils translates SCSI commands to NVMe itself: its INQUIRY answer.
    [[ $kind == nvme ]] && sg_raw -r 36 -o "$R/$n.sntl-inq.bin" "/dev/$n" 12 00 00 00 24 00 >"$R/$n.sntl-inq.err" 2>&1
    if [[ $kind == ata ]]; then
        hdparm -I "/dev/$n" >"$R/$n.hdparm-I.txt" 2>&1
        hdparm --Istdout "/dev/$n" >"$R/$n.identify.txt" 2>&1
    fi
    blockdev --getsize64 --getss "/dev/$n" >"$R/$n.blockdev.txt" 2>&1
    sfdisk --json "/dev/$n" >"$R/$n.sfdisk.json" 2>"$R/$n.sfdisk.err"
    # Where the disk sits: SCSI address, controller, USB device.
    {
        sys=$(readlink -f "/sys/block/$n")
        echo "sys=$sys"
        dev=$(readlink -f "/sys/block/$n/device")
        echo "device=${dev##*/}"
        p=$sys
        pci="" usbdev=""
        while [[ $p == /sys/devices/* ]]; do
            sub=$(readlink "$p/subsystem" 2>/dev/null)
            [[ -z $usbdev && ${sub##*/} == usb && -r $p/idVendor ]] && usbdev=$p
            [[ -z $pci && ${sub##*/} == pci ]] && pci=${p##*/}
            p=${p%/*}
        done
        echo "pci=$pci"
        if [[ -n $usbdev ]]; then
            echo "usb=$usbdev"
            echo "usb.manufacturer=$(cat "$usbdev/manufacturer" 2>/dev/null)"
            echo "usb.product=$(cat "$usbdev/product" 2>/dev/null)"
            echo "usb.serial=$(cat "$usbdev/serial" 2>/dev/null)"
            for i in "$usbdev"/*:*; do
                [[ -L $i/driver ]] && echo "usb.driver=$(basename "$(readlink "$i/driver")")"
            done
        fi
        for a in vendor model rev; do
            [[ -r /sys/block/$n/device/$a ]] && echo "sysfs.$a=$(cat "/sys/block/$n/device/$a")"
        done
        [[ -r /sys/block/$n/device/firmware_rev ]] && echo "sysfs.firmware_rev=$(cat "/sys/block/$n/device/firmware_rev")"
        [[ -r /sys/block/$n/device/vpd_pg80 ]] && echo "sysfs.vpd_pg80=yes"
        # The kernel's wwid: of the SCSI device, or of the NVMe namespace.
        for w in "/sys/block/$n/device/wwid" "/sys/block/$n/wwid"; do
            [[ -r $w ]] && echo "sysfs.wwid=$(cat "$w")" && break
        done
        [[ -r /sys/block/$n/serial ]] && echo "sysfs.serial=$(cat "/sys/block/$n/serial")"
        [[ -r /sys/block/$n/device/serial ]] && echo "sysfs.serial=$(cat "/sys/block/$n/device/serial")"
        [[ ${n} == nvme* ]] && echo "nvme.controller=$(basename "$(readlink -f "/sys/block/$n/device")")"
        [[ -r /sys/block/$n/nsid ]] && echo "nvme.nsid=$(cat "/sys/block/$n/nsid")"
    } >"$R/$n.sys.txt" 2>&1
done

# ---- tavdisk ---------------------------------------------------------------
step "running tavdisk"
T=$OUT/tavdisk
mkdir -p "$T"
# The kernel's log from here to the end of the round trips is what tavdisk
# caused (aborts, resets, I/O errors).
sleep 1
kernel_log_start=$(dmesg | wc -l)
t0=$(cut -d' ' -f1 /proc/uptime)
tavdisk list --json >"$T/list.json" 2>"$T/list-json.err"
echo "$?" >"$T/list-json.rc"
echo "tavdisk list --json: $t0 -> $(cut -d' ' -f1 /proc/uptime) s (guest uptime)" >>"$OUT/guest.log"
tavdisk list >"$T/list.txt" 2>"$T/list.err"
# Each disk in full: its partition table is read by show only.
for id in "${TAVHW_DISKS[@]}"; do
    n=${NAME[$id]:-}
    [[ -n $n ]] && tavdisk show "/dev/$n" --json >"$T/$n.show.json" 2>"$T/$n.show.err"
done
# Health, and what it costs: five listings without it, five with it, and
# five rounds of `smartctl -H -A` over the same disks (guest uptime, 10 ms
# steps), and the ioctl count of one listing each way.
tavdisk list --json --health >"$T/list-health.json" 2>"$T/list-health.err"
health_clock() { cut -d' ' -f1 /proc/uptime; }
h0=$(health_clock)
for _ in 1 2 3 4 5; do tavdisk list >/dev/null 2>&1; done
h1=$(health_clock)
for _ in 1 2 3 4 5; do tavdisk list --health >/dev/null 2>&1; done
h2=$(health_clock)
for _ in 1 2 3 4 5; do
    for id in "${TAVHW_DISKS[@]}"; do
        n=${NAME[$id]:-}
        [[ -n $n ]] || continue
        smartopt=()
        [[ ${D[$id.kind]} == usb-bot || ${D[$id.kind]} == uas ]] && smartopt=(-d scsi)
        smartctl -H -A "${smartopt[@]}" "/dev/$n" >/dev/null 2>&1
    done
done
h3=$(health_clock)
strace -f -qq -y -e trace=ioctl -o "$T/strace-list.txt" tavdisk list >/dev/null 2>&1
strace -f -qq -y -e trace=ioctl -o "$T/strace-health.txt" tavdisk list --health >/dev/null 2>&1
# And each disk's own `smartctl -H -A`, with the device of each ioctl.
for id in "${TAVHW_DISKS[@]}"; do
    n=${NAME[$id]:-}
    [[ -n $n ]] || continue
    smartopt=()
    [[ ${D[$id.kind]} == usb-bot || ${D[$id.kind]} == uas ]] && smartopt=(-d scsi)
    strace -f -qq -y -e trace=ioctl -o "$T/$n.strace-smartctl.txt" smartctl -H -A "${smartopt[@]}" "/dev/$n" >/dev/null 2>&1
done
echo "health timing, 5 runs each (s): list $h0..$h1, list --health $h1..$h2, smartctl -H -A of every disk $h2..$h3;" \
    "ioctls: list $(wc -l <"$T/strace-list.txt"), list --health $(wc -l <"$T/strace-health.txt")" \
    >"$T/health-timing.txt"
cat "$T/health-timing.txt" >>"$OUT/guest.log"
# The same listing as an unprivileged user (the device nodes are root's
# alone): each disk is opened for queries only.
setpriv --reuid=65534 --regid=65534 --clear-groups tavdisk list --json >"$T/list-user.json" 2>"$T/list-user.err"
# The SCSI commands the library's requests became as the kernel received
# them (SG_IO), with the device each went to: the INQUIRY must announce no
# more than the 56 bytes it transfers.
strace -f -qq -y -x -e trace=ioctl -e verbose=ioctl -o "$T/strace.txt" tavdisk list --json >/dev/null 2>&1

# ---- Sector round trips ----------------------------------------------------
step "sector round trips"
hexof() { od -An -tx1 -v "$@" | tr -d ' \n'; }
for id in "${TAVHW_DISKS[@]}"; do
    n=${NAME[$id]:-}
    [[ -n $n ]] || continue
    rt=$OUT/rt/$id
    mkdir -p "$rt"
    num=$(jq -r --arg p "/dev/$n" '.disks[] | select(.device_path == $p) | .number' "$T/list.json" 2>/dev/null)
    echo "${num:-}" >"$rt/number"
    [[ -n $num ]] || continue
    ss=${D[$id.lbs]} sector=${D[$id.rt]}
    dd if="/dev/$n" of="$rt/before.bin" bs="$ss" skip="$sector" count=1 iflag=direct 2>"$rt/dd-before.err"
    # ReadSector of sector 0 against what the kernel reads there.
    tavdisk read "$num" 0 >"$rt/read0.txt" 2>"$rt/read0.err"
    echo $? >"$rt/read0.rc"
    dd if="/dev/$n" of="$rt/sector0.bin" bs="$ss" count=1 iflag=direct 2>/dev/null
    tavdisk write "$num" "$sector" "$HW/rt/$id.bin" --yes --device "/dev/$n" >"$rt/write.txt" 2>&1
    echo $? >"$rt/write.rc"
    tavdisk read "$num" "$sector" >"$rt/read.txt" 2>"$rt/read.err"
    echo $? >"$rt/read.rc"
    dd if="/dev/$n" of="$rt/after.bin" bs="$ss" skip="$sector" count=1 iflag=direct 2>"$rt/dd-after.err"
done
sync

# ---- The write guard on device-mapper --------------------------------------
# A sector of the mounted device-mapper disk, and one of the partition under
# it on its first member disk: tavdisk must refuse both and leave them as
# they were.
step "write guard on device-mapper"
G=$OUT/guard
mkdir -p "$G"
# (Without udev, dmsetup makes /dev/mapper/<name> a node of its own: the
# kernel name comes from sysfs.)
dm=
for d in /sys/block/dm-*; do
    [[ $(cat "$d/dm/name" 2>/dev/null) == "$TAVHW_SPAN_NAME" ]] && dm=$(basename "$d")
done
member=${NAME[${TAVHW_SPAN_DISKS[0]}]:-}
if [[ $dm == dm-* && -n $member ]] && grep -q " $TAVHW_SPAN_MOUNT " /proc/mounts; then
    p=$(part "$member" 1)
    targets=("$dm 100" "$member $(($(cat "/sys/class/block/$p/start") + 100))")
    for t in "${targets[@]}"; do
        read -r n sector <<<"$t"
        ss=$(cat "/sys/block/$n/queue/logical_block_size")
        head -c "$ss" /dev/urandom >"$G/$n.bin"
        echo "$sector" >"$G/$n.sector"
        dd if="/dev/$n" of="$G/$n.before" bs="$ss" skip="$sector" count=1 iflag=direct 2>/dev/null
        tavdisk write "/dev/$n" "$sector" "$G/$n.bin" --yes >"$G/$n.write.txt" 2>&1
        echo $? >"$G/$n.write.rc"
        dd if="/dev/$n" of="$G/$n.after" bs="$ss" skip="$sector" count=1 iflag=direct 2>/dev/null
    done
fi
# The same for the mounted md disk and one of its members (held by it).
if [[ -b /dev/$TAVHW_MD_NAME && -n ${mdmembers[0]:-} ]] && grep -q " $TAVHW_MD_MOUNT " /proc/mounts; then
    for n in "$TAVHW_MD_NAME" "${mdmembers[0]}"; do
        ss=$(cat "/sys/block/$n/queue/logical_block_size")
        head -c "$ss" /dev/urandom >"$G/$n.bin"
        echo 100 >"$G/$n.sector"
        dd if="/dev/$n" of="$G/$n.before" bs="$ss" skip=100 count=1 iflag=direct 2>/dev/null
        tavdisk write "/dev/$n" 100 "$G/$n.bin" --yes >"$G/$n.write.txt" 2>&1
        echo $? >"$G/$n.write.rc"
        dd if="/dev/$n" of="$G/$n.after" bs="$ss" skip=100 count=1 iflag=direct 2>/dev/null
    done
fi
dmesg | tail -n +$((kernel_log_start + 1)) >"$OUT/dmesg-tavdisk.txt"

# What each SCSI path does with an INQUIRY that announces 255 bytes into a
# 56-byte buffer, as the library's request does (after tavdisk: on UAS it
# times out and resets the device).
for n in "${NAME[@]}"; do
    [[ $n == sd* ]] && sg_raw -v -t 2 -r 56 "/dev/$n" 12 00 00 00 ff 00 >"$R/$n.inq-short-buffer.txt" 2>&1
done

# ---- Checks ----------------------------------------------------------------
step "checking"
bash "$HW/check.sh" "$OUT" "$HW" >"$OUT/checks.txt" 2>"$OUT/checks.err"
echo "$?" >"$OUT/checks.rc"
grep -E '^(FAIL|EXPLAINED|PASS|INFO|SUMMARY)' "$OUT/checks.txt" | sed 's/^/TAVHW-CHECK /'

# ---- Replay recordings -----------------------------------------------------
step "recording sysfs trees"
bash "$HW/record.sh" "$OUT" "$HW" >"$OUT/trees/record.log" 2>&1

# ---- Back to the host ------------------------------------------------------
step "sending results"
dmesg >"$OUT/dmesg.txt" 2>&1
umount "/mnt/tav space" /mnt/tavbind /mnt/tavdata /mnt/tav4k "$TAVHW_SPAN_MOUNT" "$TAVHW_MD_MOUNT" 2>/dev/null
dmsetup remove --noudevsync "$TAVHW_SPAN_NAME" 2>/dev/null
mdadm --stop "/dev/$TAVHW_MD_NAME" >/dev/null 2>&1
sync
stty -F /dev/ttyS1 raw -echo 2>/dev/null
{
    echo "TAVHW-RESULTS-BEGIN"
    tar -C / -cf - results | gzip -1 | base64
    echo "TAVHW-RESULTS-END"
} >/dev/ttyS1
step "done"
exit 0
