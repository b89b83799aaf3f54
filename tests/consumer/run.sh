#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Programs of one's own against the installed library, as the README shows
# them (examples/):
#   1. `cmake --install` of a build (default build/default) into a fresh
#      temporary prefix;
#   2. the installed library exports the C interface unmangled beside the
#      C++ classes, with a versioned soname; tavdisk runs from the prefix;
#   3. the C++ example built with CMake (find_package(TavDiskLib)), the C
#      example with pkg-config (-std=c11 -Wall -Werror), the Python example
#      with ctypes (Debian's python3), each run over two recorded machines
#      (tests/linux/data, through the build's tavdisk_replay) and compared
#      with the expected listing;
#   4. every README example is the file of examples/ it names;
#   5. the uninstall target removes every installed file.
# Prints one PASS/FAIL line per step; exit status 0 when all passed. (Checks
# grep here-strings, not pipes: under pipefail a `grep -q` that stops early
# would fail its pipe.)
#
#   tests/consumer/run.sh [BUILD_DIR]
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 2
root=$PWD
build=${1:-build/default}
steps_title="Consumer programs"
# shellcheck source=../steps.sh
source tests/steps.sh

python=/usr/bin/python3
for tool in cc pkg-config "$python" nm readelf; do
    command -v "$tool" >/dev/null || { record 1 "tool $tool"; summary; exit 1; }
done
replay=$root/$build/tests/linux/tavdisk_replay
if [ ! -x "$replay" ] || [ ! -f "$root/$build/CMakeCache.txt" ]; then
    record 1 "$build holds a build with tests (tavdisk_replay)"
    summary
    exit 1
fi

work=$(mktemp -d /tmp/tavdisk-consumer.XXXXXX) || exit 2
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

# --- 1. install -------------------------------------------------------------
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1
record $? "cmake --install $build --prefix <temporary>"
libdir=$(dirname "$(find "$prefix" -name 'libTavDiskLib.so.*' -type f | head -n 1)")
pcdir=$libdir/pkgconfig
for file in include/TavDiskLib/TavDiskLib.h include/TavDiskLib/TavDiskLibTypes.h include/TavDiskLib/tavdisk.h \
            bin/tavdisk; do
    [ -e "$prefix/$file" ] || { echo "   missing: $file"; record 1 "installed $file"; }
done
for file in "$libdir/cmake/TavDiskLib/TavDiskLibConfig.cmake" "$libdir/cmake/TavDiskLib/TavDiskLibConfigVersion.cmake" \
            "$pcdir/tavdisklib.pc"; do
    [ -e "$file" ] || { echo "   missing: $file"; record 1 "installed $file"; }
done

# --- 2. the installed library and program --------------------------------------
library=$(find "$libdir" -maxdepth 1 -name 'libTavDiskLib.so.*.*.*' -type f | head -n 1)
soname=$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
[ -n "$soname" ] && [ -e "$libdir/$soname" ] && [ "$soname" != libTavDiskLib.so ]
record $? "versioned soname ($soname)"

exports=$(nm -D --defined-only "$library" | awk '{print $3}')
c_declared=$(grep -o 'TAVDISK_CALL tavdisk_[a-z0-9_]*' "$prefix/include/TavDiskLib/tavdisk.h" | awk '{print $2}' | sort -u)
bad=0
for name in $c_declared; do
    grep -qx "$name" <<<"$exports" || { echo "   not exported: $name"; bad=1; }
done
grep -qx '_ZN5Drive8GetDriveEPvj' <<<"$exports" || { echo "   not exported: Drive::GetDrive"; bad=1; }
grep -qx '_ZN7Adapter14GetDescriptionEPKwjPj' <<<"$exports" || { echo "   not exported: Adapter::GetDescription"; bad=1; }
record $bad "nm -D: $(echo "$c_declared" | wc -l) C functions unmangled beside the C++ members"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
"$prefix/bin/tavdisk" --version >"$work/version.txt" 2>&1 && grep -qx "tavdisk $version" "$work/version.txt"
record $? "installed tavdisk runs from the prefix ($(cat "$work/version.txt"))"

# --- 3. the examples ---------------------------------------------------------------
# What every example prints over the recordings.
expected_qemu_sata="0 /dev/sdb: bus 11, TAV SATA DISK ONE, 2097152 sectors
1 /dev/sdc: bus 11, TAV BIG SATA 3T, 6442450944 sectors"
expected_qemu_scsi="0 /dev/sdd: bus 1, TAV VSCSI LUN2, 262144 sectors
1 /dev/sde: bus 1, TAV BIG SCSI 3T, 6442450944 sectors"
# The C and Python examples add every field, each mount path on its own.
expected_full_qemu_sata='0 /dev/sdb: bus 11, TAV SATA DISK ONE, 2097152 sectors
  disk 0, 1073741824 bytes, 512 bytes per sector, letters ""
  descriptor "ATA" "TAV SATA DISK ON" "2" "TAVSATA0001"
  ata "TAV SATA DISK ONE" "TAVSATA0001" "SF1.2"
  mount "/mnt/tavdata"
  mount "/mnt/tavbind"
  mount "/mnt/tav space"
1 /dev/sdc: bus 11, TAV BIG SATA 3T, 6442450944 sectors
  disk 1, 3298534883328 bytes, 512 bytes per sector, letters ""
  descriptor "ATA" "TAV BIG SATA 3T" "BA48" "TAVBIGATA01"
  ata "TAV BIG SATA 3T" "TAVBIGATA01" "BA48"'
expected_full_qemu_scsi='0 /dev/sdd: bus 1, TAV VSCSI LUN2, 262144 sectors
  disk 0, 134217728 bytes, 512 bytes per sector, letters ""
  descriptor "TAVVEND" "TAV VSCSI LUN2" "V3" "TAVVS0302"
  scsi "TAVVEND" "TAV VSCSI LUN2" "V3"
1 /dev/sde: bus 1, TAV BIG SCSI 3T, 6442450944 sectors
  disk 1, 3298534883328 bytes, 512 bytes per sector, letters ""
  descriptor "TAVBIG" "TAV BIG SCSI 3T" "BS16" "TAVBIGSCSI01"
  scsi "TAVBIG" "TAV BIG SCSI 3T" "BS16"'

check_listing() { # check_listing <label> <expected_ or expected_full_> <command...>
    local label=$1 kind=$2 tree out bad=0
    shift 2
    for tree in qemu-sata qemu-scsi; do
        out=$("$replay" "$tree" "$@" 2>"$work/err.txt")
        local expected_var=$kind${tree//-/_}
        if [ "$out" != "${!expected_var}" ]; then
            echo "   $label over $tree:"
            printf '%s\n' "$out" | sed 's/^/     got      /'
            printf '%s\n' "${!expected_var}" | sed 's/^/     expected /'
            sed 's/^/     stderr   /' "$work/err.txt"
            bad=1
        fi
    done
    return $bad
}

cmake -S examples/cmake -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
    >"$work/cmake.log" 2>&1 && cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1
status=$?
[ $status -eq 0 ] || cat "$work/cmake.log"
record $status "C++ example built with CMake: find_package(TavDiskLib) -> TavDiskLib::TavDiskLib"
if [ $status -eq 0 ]; then
    check_listing "C++ example" expected_ "$work/cmake/list_disks"
    record $? "C++ example lists the recorded disks"
fi

export PKG_CONFIG_PATH=$pcdir
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror examples/c/list_disks.c $(pkg-config --cflags --libs tavdisklib) -o "$work/list_disks_c" \
    2>"$work/c.log"
status=$?
[ $status -eq 0 ] || cat "$work/c.log"
record $status "C example built with pkg-config (tavdisklib $(pkg-config --modversion tavdisklib)), -std=c11 -Wall -Werror"
if [ $status -eq 0 ]; then
    LD_LIBRARY_PATH=$libdir check_listing "C example" expected_full_ "$work/list_disks_c"
    record $? "C example lists the recorded disks"
fi

check_listing "Python example" expected_full_ "$python" examples/python/list_disks.py "$libdir/$soname"
record $? "Python example ($($python --version 2>&1), ctypes) lists the recorded disks"

# --- 4. the README's examples are these files ------------------------------------------
# A README block follows a line `<!-- example: PATH -->` and must equal PATH.
bad=0
count=0
while read -r path; do
    count=$((count + 1))
    block=$(awk -v marker="<!-- example: $path -->" '
        $0 == marker { found = 1; next }
        found && /^```/ { if (inside) exit; inside = 1; next }
        inside { print }' README.md)
    if [ "$block" != "$(cat "$path")" ]; then
        echo "   README block of $path differs from the file:"
        diff <(printf '%s\n' "$block") "$path" | sed 's/^/     /'
        bad=1
    fi
done < <(sed -n 's/^<!-- example: \(.*\) -->$/\1/p' README.md)
[ "$count" -ge 4 ] || { echo "   only $count examples marked in README.md"; bad=1; }
record $bad "README examples are the tested files ($count)"

# --- 5. the uninstall target removes what the install put there -------------------
cmake --build "$build" --target uninstall >"$work/uninstall.log" 2>&1 &&
    [ -z "$(find "$prefix" -type f -o -type l)" ] && [ ! -e "$prefix/include/TavDiskLib" ]
record $? "uninstall target: nothing installed is left"

summary
exit $failed
