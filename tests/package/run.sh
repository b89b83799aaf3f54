#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The packages as a user gets them: a Release build under /usr packed by
# cpack (cmake/Package.cmake) into a .deb and a .tar.gz; the .deb installed
# by apt in a clean Debian root (debootstrap, minimal, with man-db,
# bash-completion, pkgconf and gcc), so that apt resolves the runtime
# dependencies it declares; there tavdisk -V, tavdisk listing the disks, its
# manual page, its bash completion and a C program built with pkg-config;
# then the package purged, leaving none of its files behind; then the
# README's first command run there on a copy of this tree. A C++ program
# is built with the CMake package of the unpacked .tar.gz on this machine.
# The root is kept (TAVDISK_PACKAGE_ROOT, default build/package-root) and
# made again when it is missing or broken. When it cannot be made (no
# network), the .deb is installed on this machine with dpkg instead, and
# the same checks run there.
# Root only (debootstrap, chroot, dpkg). Prints one PASS/FAIL line per step;
# exit status 0 when all passed.
#
#   tests/package/run.sh [BUILD_DIR]     (default build/package)
#   TAVDISK_DEBIAN_MIRROR=URL            the mirror of the root (default: this
#                                        machine's apt source for Debian)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 2
root=$PWD
build=${1:-build/package}
rootfs=${TAVDISK_PACKAGE_ROOT:-$root/build/package-root}
[[ $rootfs == /* ]] || rootfs=$root/$rootfs
steps_title=Packages
# shellcheck source=../steps.sh
source tests/steps.sh
[ "$(id -u)" -eq 0 ] || { echo "tests/package/run.sh: needs root (debootstrap, chroot, dpkg)"; exit 2; }
for tool in cpack cmake c++ dpkg dpkg-deb dpkg-shlibdeps file tar; do
    command -v "$tool" >/dev/null || { record 1 "tool $tool"; summary; exit 1; }
done
work=$(mktemp -d /tmp/tavdisk-package.XXXXXX) || exit 2
stage=/tmp/tavdisk-package # where the root sees the .deb and the C program
mode=root                  # or host, when the root cannot be made
cleanup() {
    if [ $mode = host ]; then
        dpkg --purge tavdisklib >/dev/null 2>&1
    else
        rm -rf "${rootfs:?}$stage"
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Runs a command in the root: in a mount namespace of its own, with /proc,
# /sys (unless TAVDISK_NO_SYS is set) and /dev of this machine mounted into
# the root; the mounts end with the command, whatever happens to this
# script. On the host (mode=host) it runs the command here.
target() {
    if [ $mode = host ]; then
        env DEBIAN_FRONTEND=noninteractive "$@"
        return
    fi
    unshare --mount --propagation private -- sh -c '
        r=$1; shift
        mount -t proc proc "$r/proc" && { [ -n "${TAVDISK_NO_SYS:-}" ] || mount --rbind /sys "$r/sys"; } &&
            mount --rbind /dev "$r/dev" && exec chroot "$r" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
                LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"' sh "$rootfs" "$@"
}

# The root is whole: made to the end, apt and dpkg content, the tools and
# the package lists there.
root_sound() {
    [ -f "$rootfs/.tavdisk-package-root" ] &&
        target sh -c '[ -z "$(dpkg --audit)" ] && [ -f /usr/share/bash-completion/bash_completion ] &&
            ls /var/lib/apt/lists | grep -q _Packages &&
            for t in apt-get man pkg-config cc bash; do command -v $t || exit 1; done' >/dev/null 2>&1
}

# A directory this script may remove: none, empty, or a root it made (or
# debootstrap was making), with nothing mounted below it.
ours() {
    { [ ! -e "$1" ] || [ -e "$1/.tavdisk-package-root" ] || [ -d "$1/debootstrap" ] || [ -z "$(ls -A "$1")" ]; } &&
        ! grep -qF " $1/" /proc/self/mountinfo
}

# Makes the root, unless a sound one is there: debootstrap from the mirror
# this machine's apt uses for Debian, the release this machine runs (in a
# mount namespace of its own, so that what it mounts ends with it).
make_root() {
    local suite mirror
    root_sound && return 0
    if ! ours "$rootfs" || ! ours "$rootfs.new"; then
        echo "   $rootfs: not a root this script made"
        return 1
    fi
    rm -rf "${rootfs:?}" "$rootfs.new"
    command -v debootstrap >/dev/null || { echo "   no debootstrap"; return 1; }
    suite=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
    suite=${suite:-bookworm}
    mirror=${TAVDISK_DEBIAN_MIRROR:-$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' \
        2>/dev/null | grep -m 1 '/debian/$')}
    mirror=${mirror:-http://deb.debian.org/debian/}
    echo "   making the root $rootfs (debootstrap $suite $mirror)"
    unshare --mount --propagation private -- debootstrap --variant=minbase \
        --include=man-db,bash-completion,pkgconf,gcc,libc6-dev "$suite" "$rootfs.new" "$mirror" \
        >"$work/debootstrap.log" 2>&1 || { tail -5 "$work/debootstrap.log"; rm -rf "$rootfs.new"; return 1; }
    touch "$rootfs.new/.tavdisk-package-root" && mv "$rootfs.new" "$rootfs" &&
        target apt-get update -qq >"$work/apt-update.log" 2>&1 && target apt-get clean && root_sound
}

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

# The .tar.gz unpacked anywhere: a C++ program finds it with find_package.
mkdir -p "$work/tgz" && tar -xzf "$tgz" -C "$work/tgz"
prefix=$(dirname "$(dirname "$(find "$work/tgz" -path '*/bin/tavdisk' | head -n 1)")")
[ -x "$prefix/bin/tavdisk" ]
record $? ".tar.gz holds bin/tavdisk"
libdir=$(dirname "$(find "$prefix" -name 'libTavDiskLib.so.*' | head -n 1)")
cmake -S examples/cmake -B "$work/cmake" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" \
    >"$work/cmake.log" 2>&1 && cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 &&
    LD_LIBRARY_PATH=$libdir "$work/cmake/list_disks" >"$work/cpp.txt" 2>>"$work/cmake.log"
status=$?
[ $status -eq 0 ] || tail -20 "$work/cmake.log"
record $status "C++ program with find_package(TavDiskLib) from the unpacked .tar.gz runs"

# --- 2. installed ---------------------------------------------------------------------
if make_root; then
    where="in the Debian root"
    mkdir -p "$rootfs$stage" && cp "$deb" examples/c/list_disks.c "$rootfs$stage/" &&
        target dpkg --purge tavdisklib >/dev/null 2>&1
    # The package lists of the root may be older than the mirror: read
    # them again once when apt cannot fetch a dependency.
    install=(apt-get install -y --no-install-recommends "$stage/$(basename "$deb")")
    target "${install[@]}" >"$work/install.log" 2>&1 ||
        { target apt-get update -qq && target "${install[@]}"; } >>"$work/install.log" 2>&1
    status=$?
    record $status "apt-get install ./$(basename "$deb") $where (the declared dependencies resolved by apt)"
    top=$rootfs
else
    echo "   NOTE: no Debian root could be made (no network or no debootstrap?);"
    echo "         the .deb is installed on this machine with dpkg instead."
    mode=host where="on this machine" stage=$work top=
    for tool in pkg-config cc man bash; do
        command -v "$tool" >/dev/null || { record 1 "tool $tool"; summary; exit 1; }
    done
    cp examples/c/list_disks.c "$work/"
    dpkg --purge tavdisklib >/dev/null 2>&1
    dpkg -i "$deb" >"$work/install.log" 2>&1
    status=$?
    record $status "dpkg -i $(basename "$deb") $where"
fi
[ $status -eq 0 ] || tail -20 "$work/install.log"
target dpkg -L tavdisklib | sort >"$work/files.txt"
library=$(grep -E 'libTavDiskLib\.so\.[0-9]+\.[0-9]+\.[0-9]+$' "$work/files.txt" | head -n 1)
file -L "$top$library" | grep -q ', stripped'
record $? "the library is a stripped Release build ($(du -k "$top$library" | cut -f1) KiB)"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
shown=$(target /usr/bin/tavdisk -V 2>&1)
[ "$shown" = "tavdisk $version" ]
record $? "tavdisk -V ($shown)"
# The disks as the tavdisk just built sees them here; loop disks left out,
# as other programs attach and detach them meanwhile.
"$build/tools/tavdisk" -n -e loop -o NAME >"$work/here.txt" 2>&1
target /usr/bin/tavdisk -n -e loop -o NAME >"$work/list.txt" 2>"$work/list.err"
status=$?
[ $status -eq 0 ] || cat "$work/list.err"
cmp -s "$work/here.txt" "$work/list.txt" || { echo "   here:"; cat "$work/here.txt"; echo "   $where:"; cat "$work/list.txt"; status=1; }
record $status "tavdisk lists the disks $where as here: $(tr '\n' ' ' <"$work/list.txt")"
if [ $mode = root ]; then
    # Without /sys (a container may have none) there is nothing to list.
    shown=$(TAVDISK_NO_SYS=1 target /usr/bin/tavdisk list 2>&1)
    status=$?
    [ $status -eq 0 ] && [ "$shown" = "No disks found." ]
    record $? "without /sys: tavdisk says \"$shown\" (exit status $status)"
fi
target sh -c 'MANPAGER=cat man tavdisk' 2>/dev/null | grep -q 'tavdisk - list the physical disks'
record $? "man tavdisk"
completion=$(target bash -c 'source /usr/share/bash-completion/bash_completion
    source /usr/share/bash-completion/completions/tavdisk
    COMP_WORDS=(tavdisk -o NAME,SI); COMP_CWORD=2; COMP_LINE="tavdisk -o NAME,SI"; COMP_POINT=${#COMP_LINE}
    _tavdisk; echo "${COMPREPLY[*]}"' 2>/dev/null)
grep -qw 'NAME,SIZE' <<<"$completion"
record $? "bash completion: tavdisk -o NAME,SI<tab> gives $completion"
target sh -c 'cc -std=c11 -Wall -Werror "$1/list_disks.c" $(pkg-config --cflags --libs tavdisklib) \
    -o "$1/list_disks_c" && "$1/list_disks_c"' sh "$stage" >"$work/c.txt" 2>"$work/cc.log"
status=$?
[ $status -eq 0 ] || cat "$work/cc.log"
record $status "C program with pkg-config (tavdisklib $(target pkg-config --modversion tavdisklib 2>/dev/null)) runs"

# --- 3. removed --------------------------------------------------------------------------
if [ $mode = root ]; then
    target apt-get purge -y tavdisklib >"$work/purge.log" 2>&1
    record $? "apt-get purge -y tavdisklib"
else
    dpkg --purge tavdisklib >"$work/purge.log" 2>&1
    record $? "dpkg --purge tavdisklib"
fi
left=0
while read -r path; do
    # Files, and the directories of the package's own (TavDiskLib, tavdisk).
    [ -f "$top$path" ] || [ -L "$top$path" ] || { [ -d "$top$path" ] && [[ ${path,,} == *tavdisk* ]]; } || continue
    echo "   left behind: $path"
    left=1
done <"$work/files.txt"
! target dpkg -s tavdisklib >/dev/null 2>&1 && [ -s "$work/files.txt" ] && [ $left -eq 0 ]
record $? "nothing of the package is left ($(wc -l <"$work/files.txt") paths checked)"

# --- 4. from source, as the README says --------------------------------------------------
# The first command of the README, run in the root from a copy of this
# tree (its files under version control, as a clone has them): it installs
# what building needs, builds, and lists the disks.
if [ $mode = root ]; then
    first=$(awk '/^```sh$/ { getline; print; exit }' README.md)
    src=/tmp/tavdisk-source
    rm -rf "${rootfs:?}$src" && mkdir -p "$rootfs$src" &&
        git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$rootfs$src"
    target sh -c 'cd "$1" && eval "$2"' sh "$src" "$first" >"$work/readme.txt" 2>"$work/readme.log"
    status=$?
    [ $status -eq 0 ] || tail -20 "$work/readme.log"
    # Each disk tavdisk lists here (loop disks aside) is in its table there.
    while read -r name; do
        grep -qw -- "$name" "$work/readme.txt" || { echo "   not listed there: $name"; status=1; }
    done <"$work/here.txt"
    record $status "the README's first command in the root: $first"
    rm -rf "${rootfs:?}$src"
fi
summary
exit $failed
