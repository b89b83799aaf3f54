#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proves the Linux backend and tavdisk on emulated hardware: boots a Linux
# guest under QEMU with the disks of disks.sh (SATA, IDE, SCSI, NVMe, USB,
# virtio, two disks of more than 2^32 sectors, partitions, a bind mount, a
# path with a space, a spanned device-mapper volume), runs tavdisk and the
# reference tools there, compares every field (check.sh), and verifies the
# sector round trips in the image files after the guest has stopped.
#
#   tests/hardware/run.sh [--record] [--keep] [--accel kvm|tcg]
#
#   --record     also write the guest's sysfs/mountinfo recordings to
#                tests/linux/data/qemu-*.tree (replay tests)
#   --keep       keep the work directory (images, initramfs, console log)
#   --accel A    skip the KVM probe and use A
#
# Environment: TAVHW_TIMEOUT (seconds for the guest, default 600),
# TAVHW_RESULTS (where the guest's results are kept, default
# build/hw/results), TAVHW_NO_INSTALL=1 (do not call apt-get),
# TAVHW_NO_BUILD=1 (use the tavdisk already in build/hw), TAVHW_TAVDISK
# (test this tavdisk binary instead; its libraries are found with ldd).
#
# Exit status: 0 when every check passed, 1 when a check failed, 2 when
# the harness itself could not run (missing tools, no boot, timeout).
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
start_time=$(date +%s)
record=0 keep=0 accel=""
while (($#)); do
    case $1 in
    --record) record=1 ;;
    --keep) keep=1 ;;
    --accel) accel=${2:?--accel needs kvm or tcg}; shift ;;
    -h | --help) sed -n '2,24p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
    esac
    shift
done

say() { echo "[hw $(($(date +%s) - start_time))s] $*"; }
die() { echo "run.sh: $*" >&2; exit 2; }

# ---- Packages --------------------------------------------------------------
packages=(qemu-system-x86 linux-image-amd64 busybox-static cpio sg3-utils smartmontools hdparm strace
          util-linux fdisk dmsetup mdadm e2fsprogs dosfstools bash jq pciutils pci.ids kmod
          cmake g++ make libudev-dev libcli11-dev nlohmann-json3-dev libblkid-dev)
if [[ ${TAVHW_NO_INSTALL:-0} != 1 ]]; then
    missing=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if ((${#missing[@]})); then
        say "installing ${missing[*]}"
        [[ $EUID -eq 0 ]] || die "packages missing and not root: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1 ||
            { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; }
    fi
fi
for t in qemu-system-x86_64 cpio jq modprobe smartctl sg_inq hdparm lsblk dmsetup mdadm losetup; do
    command -v "$t" >/dev/null || die "$t not found"
done
[[ -x /bin/busybox ]] || die "busybox (busybox-static) not found"

# ---- tavdisk ---------------------------------------------------------------
build=$repo/build/hw
if [[ ${TAVHW_NO_BUILD:-0} != 1 && -z ${TAVHW_TAVDISK:-} ]]; then
    say "building tavdisk in $build"
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVDISK_BUILD_TESTS=OFF -DTAVDISK_REPLAY=ON \
        -DTAVDISK_BUILD_BENCH=OFF >"$build.configure.log" 2>&1 ||
        { cat "$build.configure.log"; die "cmake configure failed"; }
    cmake --build "$build" -j2 >"$build.build.log" 2>&1 || { tail -50 "$build.build.log"; die "build failed"; }
fi
tavdisk=${TAVHW_TAVDISK:-$build/tools/tavdisk}
[[ -x $tavdisk ]] || die "no tavdisk at $tavdisk"

# ---- Kernel ----------------------------------------------------------------
kernel="" kver=""
for k in $(ls -v /boot/vmlinuz-* 2>/dev/null | sort -rV); do
    v=${k#/boot/vmlinuz-}
    if [[ -r $k && -f /lib/modules/$v/modules.dep ]]; then kernel=$k kver=$v; break; fi
done
[[ -n $kernel ]] || die "no readable /boot/vmlinuz-* with modules (linux-image-amd64)"

# ---- Work directory --------------------------------------------------------
work=$(mktemp -d /tmp/tavhw.XXXXXX)
qemu_pid=""
cleanup() {
    [[ -n $qemu_pid ]] && kill "$qemu_pid" 2>/dev/null || true
    if ((keep)); then echo "run.sh: work directory kept: $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 2' INT TERM

# shellcheck source=disks.sh
source "$here/disks.sh"
qemu_version=$(qemu-system-x86_64 --version | sed -n 's/^QEMU emulator version \([0-9][0-9.]*\).*/\1/p')

# ---- Initramfs -------------------------------------------------------------
say "building the initramfs (kernel $kver, qemu $qemu_version)"
root=$work/initramfs
mkdir -p "$root"/{busybox,proc,sys,dev,run,tmp,mnt,hw/modules,hw/rt,usr/bin,usr/sbin,etc}
cp /bin/busybox "$root/busybox/busybox"
for applet in $("$root/busybox/busybox" --list); do
    [[ $applet == busybox ]] || ln -s busybox "$root/busybox/$applet"
done

declare -A copied=()
copy_file() { # a file at the same path inside the initramfs (links followed)
    local f=$1
    [[ -n ${copied[$f]:-} ]] && return 0
    copied[$f]=1
    mkdir -p "$root$(dirname "$f")"
    cp -L "$f" "$root$f"
}
copy_libs() {
    local lib
    for lib in $(ldd "$1" 2>/dev/null | awk '/=> \//{print $3} /^\t\/[^ ]*ld-linux/{print $1}'); do
        copy_file "$lib"
        # The loader looks in the multiarch directory of /usr as well.
        copy_file "$(readlink -f "$lib")"
    done
}
copy_tool() { # a tool into /usr/bin or /usr/sbin, with its libraries
    local path
    path=$(command -v "$1") || die "tool $1 not found"
    local dir=/usr/bin
    [[ $path == */sbin/* ]] && dir=/usr/sbin
    cp -L "$path" "$root$dir/$1"
    copy_libs "$path"
}
for t in bash smartctl sg_inq sg_vpd sg_readcap sg_sat_identify sg_raw hdparm lsblk findmnt blockdev sfdisk \
         mkfs.ext4 mkfs.vfat dmsetup mdadm losetup jq lspci strace setpriv; do
    copy_tool "$t"
done
cp "$tavdisk" "$root/usr/bin/tavdisk"
copy_libs "$tavdisk"
# The library beside tavdisk goes where LD_LIBRARY_PATH of the guest looks
# (its RUNPATH may lie below /tmp, which the guest mounts over).
tavlib=$(ldd "$tavdisk" | awk '/libTavDiskLib/{print $3}')
[[ -r $tavlib ]] || die "ldd finds no libTavDiskLib.so for $tavdisk"
mkdir -p "$root/usr/lib/tavdisk"
cp -L "$tavlib" "$root/usr/lib/tavdisk/"
ln -sfn usr/bin "$root/bin"
ln -sfn usr/sbin "$root/sbin"
[[ -d $root/lib64 ]] || ln -sfn usr/lib64 "$root/lib64"
for f in /usr/share/misc/pci.ids /etc/mke2fs.conf; do [[ -r $f ]] && copy_file "$f"; done

# Kernel modules with their dependencies, in load order. The load order
# fixes the SCSI host numbers: IDE, AHCI, virtio-scsi, the LSI HBA, USB.
modules=(scsi_mod sd_mod sg libata ata_piix ahci virtio_pci virtio_scsi virtio_blk sym53c8xx nvme
         xhci_pci usb_storage uas crc32c_generic ext4 vfat nls_cp437 nls_ascii nls_utf8 dm_mod loop md_mod raid1)
declare -A loaded=()
: >"$root/hw/modules.list"
for m in "${modules[@]}"; do
    while read -r cmd path _; do
        [[ $cmd == insmod ]] || continue
        rel=${path#/lib/modules/$kver/}
        [[ -n ${loaded[$rel]:-} ]] && continue
        loaded[$rel]=1
        mkdir -p "$root/hw/modules/$(dirname "$rel")"
        case $path in
        *.ko) cp "$path" "$root/hw/modules/$rel" ;;
        *.ko.xz) xz -dc "$path" >"$root/hw/modules/${rel%.xz}"; rel=${rel%.xz} ;;
        *.ko.zst) zstd -qdc "$path" >"$root/hw/modules/${rel%.zst}"; rel=${rel%.zst} ;;
        *.ko.gz) gzip -dc "$path" >"$root/hw/modules/${rel%.gz}"; rel=${rel%.gz} ;;
        esac
        params=""
        [[ $rel == */scsi_mod.ko ]] && params="scan=sync"
        echo "$rel $params" >>"$root/hw/modules.list"
    done < <(modprobe -S "$kver" --show-depends "$m" 2>/dev/null || echo "missing $m")
done
grep -q sd_mod "$root/hw/modules.list" || die "kernel $kver has no sd_mod module"

cp "$here/guest/init" "$root/init"
cp "$here/guest/guest.sh" "$here/guest/check.sh" "$here/guest/record.sh" "$here/disks.sh" "$root/hw/"
cp "$repo/tests/linux/record-tree.sh" "$root/hw/record-tree.sh"
cat >"$root/hw/guest.conf" <<EOF
TAVHW_QEMU_VERSION=$qemu_version
TAVHW_KERNEL=$kver
EOF
# Round-trip patterns: one sector of random bytes per disk, led by a label.
mkdir -p "$work/rt"
for id in "${TAVHW_DISKS[@]}"; do
    {
        printf 'TAVDISK ROUND TRIP %s sector %s ' "$id" "${D[$id.rt]}"
        head -c "${D[$id.lbs]}" /dev/urandom
    } | head -c "${D[$id.lbs]}" >"$work/rt/$id.bin"
    cp "$work/rt/$id.bin" "$root/hw/rt/"
done
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$work/initramfs.cpio"
say "initramfs: $(du -m "$work/initramfs.cpio" | cut -f1) MiB"

# ---- Disk images and the qemu command --------------------------------------
args=(-machine pc -m 1024 -smp 1 -nographic -no-reboot -monitor none -net none
      -kernel "$kernel" -initrd "$work/initramfs.cpio")
for c in "${TAVHW_CONTROLLERS[@]}"; do args+=(-device "$c"); done
for id in "${TAVHW_DISKS[@]}"; do
    img=$work/$id.img
    truncate -s "${D[$id.size]}" "$img"
    [[ -n ${D[$id.hba]:-} ]] && args+=(-device "${D[$id.hba]}")
    args+=(-drive "if=none,id=d-$id,file=$img,format=raw,cache=writeback${D[$id.ro]:+,readonly=on}"
           -device "${D[$id.device]},drive=d-$id")
done
cmdline="console=ttyS0 panic=-1 loglevel=4"

boot() { # accel, extra kernel arguments, timeout, console log, second serial port
    local a=$1 extra=$2 limit=$3 log=$4 out=$5 cpu=max
    [[ $a == kvm ]] && cpu=host
    timeout --kill-after=10 "$limit" qemu-system-x86_64 -accel "$a" -cpu "$cpu" "${args[@]}" \
        -serial stdio -serial "file:$out" -append "$cmdline $extra" </dev/null >"$log" 2>&1
}

# ---- Accelerator -----------------------------------------------------------
if [[ -z $accel ]]; then
    accel=tcg
    if [[ -r /dev/kvm && -w /dev/kvm ]]; then
        say "probing KVM"
        if (boot kvm "tavhw.probe=1" 15 "$work/kvm-probe.log" "$work/kvm-probe.out") 2>/dev/null &&
            grep -q TAVHW-BOOTED "$work/kvm-probe.log"; then
            accel=kvm
        else
            say "KVM did not boot the guest (see kvm-probe.log); using TCG"
        fi
    fi
fi

# ---- The run ---------------------------------------------------------------
limit=${TAVHW_TIMEOUT:-600}
say "booting the guest ($accel, at most ${limit}s)"
boot_start=$(date +%s)
set +e
timeout --kill-after=10 "$limit" qemu-system-x86_64 -accel "$accel" -cpu "$([[ $accel == kvm ]] && echo host || echo max)" \
    "${args[@]}" -serial stdio -serial "file:$work/serial1.txt" -append "$cmdline" </dev/null 2>&1 |
    tee "$work/console.log" | grep --line-buffered -E '^TAVHW-(STEP|MISSING|SETUP|BOOTED|GUEST)' |
    sed -u 's/^/  guest: /'
qemu_rc=${PIPESTATUS[0]}
set -e
boot_time=$(($(date +%s) - boot_start))
say "guest stopped after ${boot_time}s (qemu exit $qemu_rc)"

results=${TAVHW_RESULTS:-$build/results}
rm -rf "$results"
mkdir -p "$results"
cp "$work/console.log" "$results/console.log"
if ! sed -n '/^TAVHW-RESULTS-BEGIN/,/^TAVHW-RESULTS-END/p' "$work/serial1.txt" 2>/dev/null | sed '1d;$d' |
    base64 -d 2>/dev/null | tar -xzf - -C "$results" --strip-components=1 2>/dev/null; then
    # The checks' lines on the console are enough to judge the run.
    sed -n 's/\r$//; s/^TAVHW-CHECK //p' "$work/console.log" >"$results/checks.txt"
    if ! grep -q '^SUMMARY' "$results/checks.txt"; then
        tail -40 "$work/console.log"
        ((qemu_rc == 124 || qemu_rc == 137)) && die "the guest timed out after ${limit}s"
        die "no results from the guest (console log above, qemu exit $qemu_rc)"
    fi
    echo "run.sh: the guest's result archive did not arrive; judging by the console" >&2
fi

# ---- Round trips, seen from the host ---------------------------------------
host_fail=0
: >"$results/host-checks.txt"
for id in "${TAVHW_DISKS[@]}"; do
    ss=${D[$id.lbs]} sector=${D[$id.rt]}
    if [[ -n ${D[$id.ro]:-} ]]; then
        if dd if="$work/$id.img" bs="$ss" skip="$sector" count=1 2>/dev/null | cmp -s - <(head -c "$ss" /dev/zero); then
            echo "PASS $id roundtrip.image sector $sector of the read-only $id.img is still zero" >>"$results/host-checks.txt"
        else
            echo "FAIL $id roundtrip.image sector $sector of the read-only $id.img changed" >>"$results/host-checks.txt"
            host_fail=$((host_fail + 1))
        fi
    elif dd if="$work/$id.img" bs="$ss" skip="$sector" count=1 2>/dev/null | cmp -s - "$work/rt/$id.bin"; then
        echo "PASS $id roundtrip.image sector $sector of $id.img holds the pattern tavdisk wrote" >>"$results/host-checks.txt"
    else
        echo "FAIL $id roundtrip.image sector $sector of $id.img does not hold the pattern tavdisk wrote" >>"$results/host-checks.txt"
        host_fail=$((host_fail + 1))
    fi
done

# ---- Replay recordings -----------------------------------------------------
# tavdisk over each recording the guest made must answer as it did on the
# emulated hardware (the disk numbers and device instances of a recording
# with fewer disks aside; volumes only where the recording holds every
# disk under them).
replay_fail=0
if compgen -G "$results/trees/*.tree" >/dev/null; then
    say "replaying the recordings"
    if g++ -std=c++17 -O1 -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Werror -I"$repo/tests/linux" \
        -DTAVDISK_LINUX_TEST_DATA="\"$results/trees\"" "$here/replay.cpp" "$repo/tests/linux/ReplayTree.cpp" \
        -o "$work/replay" 2>"$results/replay-build.log"; then
        mkdir -p "$results/replay"
        flat() { # JSON document, device path, fields to leave out
            jq -r --arg p "$2" --argjson drop "$3" '.disks[] | select(.device_path == $p) | delpaths($drop | map([.]))
                | paths(type != "object" and type != "array") as $k
                | "\($k | map(tostring) | join("."))\t\(getpath($k) | tojson)"' "$1"
        }
        for t in "$results"/trees/*.tree; do
            name=$(basename "$t" .tree)
            "$work/replay" "$name" "$tavdisk" list --json >"$results/replay/$name.json" 2>"$results/replay/$name.err"
            drop='["number","device_number","device_instance","parent_instance","major","minor"]'
            [[ " $TAVHW_TREES_PARTIAL " == *" $name "* ]] && drop='["number","device_number","device_instance","parent_instance","major","minor","volumes"]'
            while read -r path; do
                if ! jq -e --arg p "$path" 'any(.disks[]; .device_path == $p)' "$results/tavdisk/list.json" >/dev/null 2>&1; then
                    echo "FAIL replay:$name $path :: listed by the replay, not on the emulated hardware" >>"$results/host-checks.txt"
                    replay_fail=$((replay_fail + 1))
                    continue
                fi
                diffs=$(join -t $'\t' -a1 -a2 -e '(absent)' -o 0,1.2,2.2 \
                    <(flat "$results/tavdisk/list.json" "$path" "$drop" | sort) \
                    <(flat "$results/replay/$name.json" "$path" "$drop" | sort) | awk -F'\t' '$2 != $3')
                if [[ -z $diffs ]]; then
                    echo "PASS replay:$name $path :: every field as on the emulated hardware" >>"$results/host-checks.txt"
                else
                    while IFS=$'\t' read -r key live rec; do
                        echo "FAIL replay:$name $path $key :: hardware=$live | replay=$rec" >>"$results/host-checks.txt"
                        replay_fail=$((replay_fail + 1))
                    done <<<"$diffs"
                fi
            done < <(jq -r '.disks[].device_path' "$results/replay/$name.json" 2>/dev/null)
            jq -e '.disks | length > 0' "$results/replay/$name.json" >/dev/null 2>&1 || {
                echo "FAIL replay:$name :: tavdisk over the recording listed no disk ($(head -c 200 "$results/replay/$name.err"))" >>"$results/host-checks.txt"
                replay_fail=$((replay_fail + 1))
            }
        done
    else
        echo "FAIL replay :: the replay runner did not build (replay-build.log)" >>"$results/host-checks.txt"
        replay_fail=1
    fi
fi
host_fail=$((host_fail + replay_fail))

if ((record)); then
    n=0
    for t in "$results"/trees/*.tree; do
        [[ -f $t ]] || continue
        cp "$t" "$repo/tests/linux/data/"
        n=$((n + 1))
    done
    say "wrote $n recordings to tests/linux/data/"
fi

# ---- Report ----------------------------------------------------------------
checks=$results/checks.txt
[[ -f $checks ]] || die "the guest ran no checks (see $results/console.log)"
echo
echo "== tavdisk list (in the guest)"
cat "$results/tavdisk/list.txt" 2>/dev/null || true
echo
echo "== Mismatches and explained differences"
grep -E '^(FAIL|EXPLAINED)' "$checks" || echo "(none)"
grep -E '^FAIL' "$results/host-checks.txt" || true
pass=$(grep -c '^PASS' "$checks" || true)
fail=$(grep -c '^FAIL' "$checks" || true)
expl=$(grep -c '^EXPLAINED' "$checks" || true)
hpass=$(grep -c '^PASS' "$results/host-checks.txt" || true)
echo
total=$(($(date +%s) - start_time))
echo "== hardware checks: $((pass + hpass)) passed, $((fail + host_fail)) failed, $expl explained differences" \
     "(guest ${boot_time}s on $accel, harness ${total}s; details in $results)"
((fail == 0 && host_fail == 0)) || exit 1
exit 0
