# SPDX-License-Identifier: MIT
# Shared part of the MinGW-w64 cross toolchains. The including file sets
# TAVDISK_MINGW_TRIPLET (x86_64-w64-mingw32 or i686-w64-mingw32) first.
#
# The -posix compilers are used on purpose: the plain triplet names may
# resolve to the win32-threads variant, whose libstdc++ lacks std::thread
# and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0)

set(CMAKE_C_COMPILER ${TAVDISK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVDISK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVDISK_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${TAVDISK_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${TAVDISK_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${TAVDISK_MINGW_TRIPLET}-objdump CACHE FILEPATH "")

# Libraries, headers and packages come from the MinGW sysroot only; programs
# (code generators, the emulator) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TAVDISK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry their GCC runtime (libgcc, libstdc++, winpthread) inside, so
# they start on a machine that has only the system DLLs. A missing runtime DLL
# makes a program exit at load time (status 53 under Wine) before any output.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run through Wine when it is installed (the 64-bit loader for
# 64-bit programs; the `wine` wrapper otherwise).
if(TAVDISK_MINGW_TRIPLET MATCHES "^x86_64")
  find_program(TAVDISK_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
else()
  find_program(TAVDISK_WINE NAMES wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
endif()
if(TAVDISK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVDISK_WINE})
endif()
