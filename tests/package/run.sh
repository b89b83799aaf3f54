#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The packages as a user gets them: a Release build under /usr packed by
# cpack (cmake/Package.cmake) into a .deb and a .tar.gz; the .deb installed
# with dpkg, then tavdisk -V, its manual page, its bash completion, a C
# program built with pkg-config and a C++ program built with the CMake
# package; then the package purged, leaving none of its files behind.
# Root only (dpkg). Prints one PASS/FAIL line per step; exit status 0 when
# all passed.
#
#   tests/package/run.sh [BUILD_DIR]     (default build/package)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 2
root=$PWD
build=${1:-build/package}
steps_title=Packages
# shellcheck source=../steps.sh
source tests/steps.sh
[ "$(id -u)" -eq 0 ] || { echo "tests/package/run.sh: needs root (dpkg)"; exit 2; }
for tool in cpack dpkg dpkg-deb dpkg-shlibdeps pkg-config cc man bash file; do
    command -v "$tool" >/dev/null || { record 1 "tool $tool"; summary; exit 1; }
done
work=$(mktemp -d /tmp/tavdisk-package.XXXXXX) || exit 2
trap 'dpkg --purge tavdisklib >/dev/null 2>&1; rm -rf "$work"' EXIT

# --- 1. the packages ---------------------------------------------------------------
{
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DTAVDISK_BUILD_TESTS=OFF -DTAVDISK_BUILD_BENCH=OFF &&
        cmake --build "$build" -j2 && (cd "$build" && cpack -G "DEB;TGZ")
} >"$work/build.log" 2>&1
status=$?
[ $status -eq 0 ] || tail -30 "$work/build.log"
record $status "Release build under /usr packed by cpack"
deb=$(ls "$build"/tavdisklib_*.deb 2>/dev/null | head -n 1)
tgz=$(ls "$build"/tavdisklib-*.tar.gz 2>/dev/null | head -n 1)
[ -n "$deb" ] && [ -n "$tgz" ]
record $? "a .deb ($(basename "${deb:-none}")) and a .tar.gz ($(basename "${tgz:-none}"))"
if [ -z "$deb" ]; then summary; exit 1; fi

contents=$(dpkg-deb -c "$deb")
bad=0
for file in ./usr/bin/tavdisk ./usr/include/TavDiskLib/TavDiskLib.h ./usr/include/TavDiskLib/tavdisk.h \
            /pkgconfig/tavdisklib.pc /cmake/TavDiskLib/TavDiskLibConfig.cmake ./usr/share/man/man1/tavdisk.1 \
            ./usr/share/bash-completion/completions/tavdisk ./usr/share/tavdisk/tavdisk.schema.json \
            ./usr/share/doc/tavdisklib/copyright; do
    grep -qF -- "$file" <<<"$contents" || { echo "   not in the .deb: $file"; bad=1; }
done
grep -qE 'libTavDiskLib\.so\.[0-9]+\.[0-9]+\.[0-9]+$' <<<"$contents" || { echo "   not in the .deb: the library"; bad=1; }
record $bad "the .deb holds the library, headers, CMake and pkg-config files, tavdisk, man page, completion, schema"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q libc6 <<<"$depends" && grep -q libstdc++6 <<<"$depends"
record $? "runtime dependencies declared (Depends: $depends)"
grep -q 'bin/tavdisk$' <<<"$(tar -tzf "$tgz")"
record $? ".tar.gz holds bin/tavdisk"

# --- 2. installed ---------------------------------------------------------------------
dpkg --purge tavdisklib >/dev/null 2>&1
dpkg -i "$deb" >"$work/dpkg.log" 2>&1
status=$?
[ $status -eq 0 ] || cat "$work/dpkg.log"
record $status "dpkg -i $(basename "$deb")"
dpkg -L tavdisklib | sort >"$work/files.txt"
library=$(grep -E 'libTavDiskLib\.so\.[0-9]+\.[0-9]+\.[0-9]+$' "$work/files.txt" | head -n 1)
file -L "$library" | grep -q ', stripped'
record $? "the library is a stripped Release build ($(du -k "$library" | cut -f1) KiB)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$(/usr/bin/tavdisk -V 2>&1)" = "tavdisk $version" ]
record $? "tavdisk -V ($(/usr/bin/tavdisk -V 2>&1))"
/usr/bin/tavdisk -n -o NAME,SIZE >"$work/list.txt" 2>"$work/list.err"
record $? "tavdisk lists the disks ($(wc -l <"$work/list.txt") disks)"
MANPAGER=cat man tavdisk 2>/dev/null | grep -q 'tavdisk - list the physical disks'
record $? "man tavdisk"
completion=$(bash -c 'source /usr/share/bash-completion/bash_completion
    source /usr/share/bash-completion/completions/tavdisk
    COMP_WORDS=(tavdisk -o NAME,SI); COMP_CWORD=2; COMP_LINE="tavdisk -o NAME,SI"; COMP_POINT=${#COMP_LINE}
    _tavdisk; echo "${COMPREPLY[*]}"' 2>/dev/null)
grep -qw 'NAME,SIZE' <<<"$completion"
record $? "bash completion: tavdisk -o NAME,SI<tab> gives $completion"

cc -std=c11 -Wall -Werror examples/c/list_disks.c $(pkg-config --cflags --libs tavdisklib) -o "$work/list_disks_c" \
    >"$work/cc.log" 2>&1 && "$work/list_disks_c" >"$work/c.txt"
status=$?
[ $status -eq 0 ] || cat "$work/cc.log"
record $status "C program with pkg-config (tavdisklib $(pkg-config --modversion tavdisklib 2>/dev/null)) runs"
cmake -S examples/cmake -B "$work/cmake" -DCMAKE_BUILD_TYPE=Release >"$work/cmake.log" 2>&1 &&
    cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 && "$work/cmake/list_disks" >"$work/cpp.txt"
status=$?
[ $status -eq 0 ] || tail -20 "$work/cmake.log"
record $status "C++ program with find_package(TavDiskLib) runs"

# --- 3. removed --------------------------------------------------------------------------
dpkg --purge tavdisklib >"$work/purge.log" 2>&1
record $? "dpkg --purge tavdisklib"
left=0
while read -r path; do
    # Files, and the directories of the package's own (TavDiskLib, tavdisk).
    [ -f "$path" ] || [ -L "$path" ] || { [ -d "$path" ] && [[ ${path,,} == *tavdisk* ]]; } || continue
    echo "   left behind: $path"
    left=1
done <"$work/files.txt"
! dpkg -s tavdisklib >/dev/null 2>&1 && [ $left -eq 0 ]
record $? "nothing of the package is left"
summary
exit $failed
