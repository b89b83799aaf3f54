#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows build of TavDiskLib, made on this Debian machine with MinGW-w64
# and tested under Wine:
#   1. installs MinGW-w64, Wine and the sources/headers the build takes from
#      Debian, when missing (needs root then);
#   2. builds the x86_64 TavDiskLib.dll, tavdisk.exe and the test programs
#      (preset mingw-x64), while a Wine prefix of its own is made under
#      build/mingw-x64/wineprefix;
#   3. runs the tests under Wine: the suite over the simulated machine, and
#      the real backend on a machine without disks (preset mingw-x64);
#   4. builds the i686 TavDiskLib.dll (preset mingw-i686);
#   5. checks both DLLs with objdump: the Drive and Adapter members and the
#      C interface (unmangled) are exported, nothing else is, and only system
#      DLLs are imported;
#   6. installs the x86_64 build into a prefix and builds programs of one's
#      own against it: the C example and a C check program against the
#      header and the DLL's C exports (an import library made from the
#      installed TavDiskLib.def, as an MSVC user makes one), and the C++
#      example through the installed CMake package; runs them under Wine.
# Prints one PASS/FAIL line per step and exits non-zero when any step failed.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 2
root=$PWD
steps_title="Windows build"
# shellcheck source=../steps.sh
source tests/steps.sh

# --- 1. packages ------------------------------------------------------------
packages=(cmake make g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
          binutils-mingw-w64-i686 wine wine64 googletest nlohmann-json3-dev libcli11-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "== installing ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "tests/windows/run-wine.sh: missing packages and not root: ${missing[*]}" >&2
        record 1 "packages"
        summary
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    record $? "packages (${missing[*]})"
else
    record 0 "packages"
fi

# --- Wine environment ---------------------------------------------------------
# The prefix belongs to this build; Mono and Gecko are not installed, and the
# dialogs offering them are switched off. err+module reports a DLL that
# fails to load (otherwise a program just exits with status 53).
export WINEPREFIX=$root/build/mingw-x64/wineprefix
export WINEARCH=win64
export WINEDEBUG=-all,err+module
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=
for w in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$w" ] && [ -x "$w" ]; then wine=$w; break; fi
done
wineserver=
for w in /usr/lib/wine/wineserver "$(command -v wineserver || true)"; do
    if [ -n "$w" ] && [ -x "$w" ]; then wineserver=$w; break; fi
done

server_started=0
stop_server() {
    # Only the server of this build's prefix: started below, ended here.
    if [ "$server_started" -eq 1 ]; then "$wineserver" -k >/dev/null 2>&1 || true; fi
}
trap stop_server EXIT

boot_pid=
if [ -n "$wine" ] && [ -n "$wineserver" ]; then
    mkdir -p "$WINEPREFIX"
    # One server for the whole run, detached from every pipe: a server that a
    # test program starts inherits that program's output pipe, and ctest then
    # waits for the server to exit.
    "$wineserver" -p </dev/null >/dev/null 2>&1 && server_started=1
    # First start of the prefix, while the compiler runs.
    "$wine" wineboot -i </dev/null >"$WINEPREFIX/../wineboot.log" 2>&1 &
    boot_pid=$!
else
    record 1 "wine found"
fi

# --- 2. x86_64 build ------------------------------------------------------------
echo "== build mingw-x64"
cmake --preset mingw-x64 && cmake --build --preset mingw-x64
record $? "x86_64 build: TavDiskLib.dll, tavdisk.exe, tests"

bin=$root/build/mingw-x64/bin
if [ -n "$boot_pid" ]; then
    wait "$boot_pid"
    boot=$?
    record $boot "Wine prefix ($WINEPREFIX)"
    [ $boot -eq 0 ] || cat "$WINEPREFIX/../wineboot.log"
    # Wine's own service processes (services, winedevice, plugplay ...) now
    # run under the server with no pipe of ours. Should they have ended, this
    # starts them again the same way, before a test program would start them
    # holding its output pipe.
    timeout 120 "$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1
fi

# --- 3. tests under Wine -----------------------------------------------------------
if [ -n "$wine" ] && [ -f "$bin/tavdisk_tests.exe" ]; then
    echo "== tests under Wine"
    ctest --preset mingw-x64
    record $? "tests under Wine (simulated machine, real backend, tavdisk)"
else
    record 1 "tests under Wine (not built or no Wine)"
fi

if [ -n "$wine" ] && [ -f "$bin/tavdisk.exe" ]; then
    out=$(timeout 120 "$wine" "$bin/tavdisk.exe" </dev/null 2>&1)
    status=$?
    printf '%s\n' "$out" | tr -d '\r'
    [ $status -eq 0 ] && printf '%s' "$out" | grep -q "No disks found"
    record $? "tavdisk.exe under Wine: no disks, exit 0 (exit $status)"
fi

# --- 4. i686 build --------------------------------------------------------------------
echo "== build mingw-i686"
cmake --preset mingw-i686 && cmake --build --preset mingw-i686
record $? "i686 build: TavDiskLib.dll"

# --- 5. exports and imports -------------------------------------------------------------
# Every public and private member of both classes is exported (the classes
# are exported whole); these are the public entry points a caller links.
expected_exports=(
    "Drive::GetDeviceInfoSet()"
    "Drive::GetDrive(void*, unsigned long)"
    "Drive::Drive(void*, unsigned long, _SP_DEVICE_INTERFACE_DATA*)"
    "Drive::~Drive()"
    "Drive::operator=(Drive const&)"
    "Drive::GetVendorId(unsigned char*, unsigned long, unsigned long*)"
    "Drive::GetProductId(unsigned char*, unsigned long, unsigned long*)"
    "Drive::GetProductRevision(unsigned char*, unsigned long, unsigned long*)"
    "Drive::GetSerialNumber(unsigned char*, unsigned long, unsigned long*)"
    "Drive::GetBusType()"
    "Drive::GetDriveNumber()"
    "Drive::GetDevicePath(wchar_t*, unsigned long, unsigned long*)"
    "Drive::GetDeviceInstance()"
    "Drive::GetDeviceParentInstance()"
    "Drive::IsAta()"
    "Drive::GetIdeDriveSerialNo(unsigned char*, unsigned long, unsigned long*)"
    "Drive::GetIdeDriveFirmwareRevision(unsigned char*, unsigned long, unsigned long*)"
    "Drive::GetIdeDriveModelNo(unsigned char*, unsigned long, unsigned long*)"
    "Drive::GetIdeControllerNumber()"
    "Drive::GetIdeDiskNumber()"
    "Drive::GetIdeSupports48BitAddressing()"
    "Drive::GetIdeSupportsSecurity()"
    "Drive::GetIdeSecurityEraseUnitTime()"
    "Drive::GetIdeEnhancedSecurityEraseUnitTime()"
    "Drive::GetScsiVendorId(unsigned char*, unsigned long, unsigned long*)"
    "Drive::GetScsiProductId(unsigned char*, unsigned long, unsigned long*)"
    "Drive::GetScsiProductRevision(unsigned char*, unsigned long, unsigned long*)"
    "Drive::GetScsiPort()"
    "Drive::GetScsiBusId()"
    "Drive::GetScsiTargetId()"
    "Drive::GetScsiLogicalUnitId()"
    "Drive::GetCapacity()"
    "Drive::GetCylinders()"
    "Drive::GetTracksPerCylinder()"
    "Drive::GetSectorsPerTrack()"
    "Drive::GetBytesPerSector()"
    "Drive::GetSectors()"
    "Drive::ReadSector(unsigned long, unsigned char*)"
    "Drive::WriteSector(unsigned long, unsigned char*)"
    "Drive::GetDriveLetters(wchar_t*, unsigned long, unsigned long*)"
    "Drive::GetMountPoints(wchar_t*, unsigned long, unsigned long*)"
    "Drive::ContainsWindowsBootPartition()"
    "Drive::ContainsSystemVolume()"
    "Drive::GetAccess()"
    "Drive::HasScsiAddress()"
    "Drive::GetSectorMountPoint(unsigned long, wchar_t*, unsigned long, unsigned long*)"
    "Drive::ScsiPassThrough(unsigned char*, unsigned char, void*, unsigned long, unsigned char)"
    "Drive::TrimString(unsigned char const*, unsigned char*, unsigned long, unsigned long*)"
    "Drive::TransposeByWord(unsigned char const*, unsigned char*, unsigned long, unsigned long)"
    "Adapter::Adapter(void*, unsigned long)"
    "Adapter::~Adapter()"
    "Adapter::GetDescription(wchar_t const*, unsigned long, unsigned long*)"
    "Adapter::operator=(Adapter const&)"
)
# The C interface: every function tavdisk.h declares, by its plain name.
c_exports=$(grep -o 'TAVDISK_CALL tavdisk_[a-z0-9_]*' "$root/TavDiskLib/tavdisk.h" | awk '{print $2}' | sort -u)

# System DLLs the library may import: the kernel, device set-up (also the
# configuration manager), and the C runtime (msvcrt or the UCRT API sets).
system_dll='^(kernel32|setupapi|cfgmgr32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'

check_dll() { # check_dll <objdump> <dll> <label>
    local objdump=$1 dll=$2 label=$3
    if [ ! -f "$dll" ]; then
        record 1 "$label: exports and imports ($dll missing)"
        return
    fi
    local dump exports imports bad=0 name
    dump=$("$objdump" -p "$dll") || { record 1 "$label: objdump"; return; }
    raw=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p')
    exports=$(printf '%s\n' "$raw" | c++filt)
    imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
    echo "-- $label: $(printf '%s\n' "$exports" | grep -c .) exports; imports: $(echo $imports)"
    for name in "${expected_exports[@]}"; do
        # (A here-string: under pipefail a grep -q that stops before printf
        # has written everything fails the pipe with SIGPIPE.)
        if ! grep -qxF "$name" <<<"$exports"; then
            echo "   not exported: $name"
            bad=1
        fi
    done
    # The C functions under their own names, undecorated (no mangling, no
    # stdcall @N suffix): any compiler or language finds them.
    for name in $c_exports; do
        if ! grep -qxF "$name" <<<"$raw"; then
            echo "   not exported unmangled: $name"
            bad=1
        fi
    done
    # Nothing but the two classes' members and the C interface (no runtime or
    # helper symbols).
    if printf '%s\n' "$exports" | grep -v -E '^(Drive|Adapter)::|^tavdisk_[a-z0-9_]+$' | grep -q .; then
        echo "   exported beyond Drive, Adapter and the C interface:"
        printf '%s\n' "$exports" | grep -v -E '^(Drive|Adapter)::|^tavdisk_[a-z0-9_]+$' | sed 's/^/     /'
        bad=1
    fi
    record $bad "$label: Drive and Adapter members and $(echo "$c_exports" | wc -l) C functions (unmangled) exported, nothing else"
    bad=0
    for name in $imports; do
        if ! printf '%s\n' "$name" | tr '[:upper:]' '[:lower:]' | grep -qE "$system_dll"; then
            echo "   not a system DLL: $name"
            bad=1
        fi
    done
    record $bad "$label: imports only system DLLs ($(echo $imports))"
}
echo "== exports and imports"
check_dll x86_64-w64-mingw32-objdump "$bin/TavDiskLib.dll" "x86_64 TavDiskLib.dll"
check_dll i686-w64-mingw32-objdump "$root/build/mingw-i686/bin/TavDiskLib.dll" "i686 TavDiskLib.dll"
if [ -f "$bin/tavdisk.exe" ]; then
    imports=$(x86_64-w64-mingw32-objdump -p "$bin/tavdisk.exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    bad=0
    for name in $imports; do
        [ "$name" = "TavDiskLib.dll" ] && continue
        printf '%s\n' "$name" | tr '[:upper:]' '[:lower:]' | grep -qE "$system_dll" || { echo "   not a system DLL: $name"; bad=1; }
    done
    record $bad "tavdisk.exe imports TavDiskLib.dll and system DLLs only ($(echo $imports))"
fi

# --- 6. programs of one's own against the installed DLL ---------------------------------
# The install a Windows user gets, in a prefix of this build; the programs
# are built as a user builds them, outside this project's build.
echo "== consumer programs against the installed DLL"
consumer_started=$SECONDS
prefix=$root/build/mingw-x64/prefix
consumer=$root/build/mingw-x64/consumer
rm -rf "$prefix" "$consumer"
mkdir -p "$consumer"
cmake --install build/mingw-x64 --prefix "$prefix" >"$consumer/install.log" 2>&1
status=$?
for file in bin/TavDiskLib.dll lib/libTavDiskLib.dll.a lib/TavDiskLib.def include/TavDiskLib/TavDiskLib.h \
            include/TavDiskLib/tavdisk.h lib/cmake/TavDiskLib/TavDiskLibConfig.cmake lib/pkgconfig/tavdisklib.pc; do
    [ -e "$prefix/$file" ] || { echo "   not installed: $file"; status=1; }
done
record $status "install: DLL, import library, TavDiskLib.def, headers, CMake package, pkg-config file"
cp "$prefix/bin/TavDiskLib.dll" "$consumer/" 2>/dev/null

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/mingw-x64/CMakeCache.txt)
cc=x86_64-w64-mingw32-gcc-posix
# An import library of the C exports alone, made from the installed .def.
grep -E '^EXPORTS|^ *tavdisk_' "$prefix/lib/TavDiskLib.def" >"$consumer/tavdisk-c.def" &&
    x86_64-w64-mingw32-dlltool -d "$consumer/tavdisk-c.def" -D TavDiskLib.dll -l "$consumer/libtavdisk-c.a"
record $? "import library of the C exports from the installed TavDiskLib.def (dlltool)"

run_under_wine() { # run_under_wine <label> <expected output pattern> <program> [argument...]
    local label=$1 pattern=$2 out status
    shift 2
    out=$(cd "$consumer" && timeout 120 "$wine" "$@" </dev/null 2>&1)
    status=$?
    printf '%s\n' "$out" | tr -d '\r' | sed 's/^/   | /'
    [ $status -eq 0 ] && grep -qE "$pattern" <<<"$(printf '%s' "$out" | tr -d '\r')"
    record $? "$label under Wine (exit $status)"
}

for program in examples/c/list_disks.c tests/windows/CApiWine.c; do
    name=$(basename "$program" .c)
    "$cc" -std=c11 -Wall -Werror -I"$prefix/include" "$program" "$consumer/libtavdisk-c.a" -o "$consumer/$name.exe"
    record $? "C program $program built against the DLL's C exports (-std=c11 -Wall -Werror)"
done
if [ -n "$wine" ]; then
    run_under_wine "C example (no disks under Wine)" '^$|sectors' "$consumer/list_disks.exe"
    run_under_wine "C interface checks" 'all checks passed' "$consumer/CApiWine.exe" "$version"
fi

cmake -S examples/cmake -B "$consumer/cmake" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DTavDiskLib_DIR="$prefix/lib/cmake/TavDiskLib" -DCMAKE_BUILD_TYPE=Release >"$consumer/cmake.log" 2>&1 &&
    cmake --build "$consumer/cmake" >>"$consumer/cmake.log" 2>&1
status=$?
[ $status -eq 0 ] || cat "$consumer/cmake.log"
record $status "C++ example built through the installed CMake package (TavDiskLib::TavDiskLib)"
if [ -n "$wine" ] && [ $status -eq 0 ]; then
    cp "$consumer/cmake/list_disks.exe" "$consumer/list_disks_cxx.exe"
    run_under_wine "C++ example (no disks under Wine)" '^$|sectors' "$consumer/list_disks_cxx.exe"
fi
echo "== consumer programs: $((SECONDS - consumer_started)) s"

summary
exit $failed
