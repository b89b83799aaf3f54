# SPDX-License-Identifier: MIT
# Cross build for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686-posix).
set(TAVDISK_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR X86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
