# SPDX-License-Identifier: MIT
# What `cmake --install` puts under the prefix, beside tavdisk (tools/):
#   include/TavDiskLib/{TavDiskLib.h,TavDiskLibTypes.h,tavdisk.h}
#   lib/libTavDiskLib.so.<soversion> and its links   (Windows: bin/TavDiskLib.dll,
#                                                    lib/libTavDiskLib.dll.a)
#   lib/cmake/TavDiskLib/  find_package(TavDiskLib) -> TavDiskLib::TavDiskLib
#   lib/pkgconfig/tavdisklib.pc
# Everything found from the prefix is relative to the installed files, so
# the tree may be installed with --prefix anywhere and moved.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# While the major version is 0 a minor version may change the ABI (the
# classes' layout is part of it): the soname and the package's compatibility
# follow the minor version then, the major version from 1.0 on.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(TAVDISK_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  set(TAVDISK_COMPATIBILITY SameMinorVersion)
else()
  set(TAVDISK_SOVERSION ${PROJECT_VERSION_MAJOR})
  set(TAVDISK_COMPATIBILITY SameMajorVersion)
endif()
if(NOT WIN32)
  # (A Windows DLL keeps its plain name; the version is in its image header.)
  set_target_properties(TavDiskLib PROPERTIES SOVERSION ${TAVDISK_SOVERSION})
endif()
set_target_properties(TavDiskLib PROPERTIES VERSION ${PROJECT_VERSION})

target_sources(TavDiskLib PUBLIC FILE_SET HEADERS BASE_DIRS ${PROJECT_SOURCE_DIR}
               FILES ${PROJECT_SOURCE_DIR}/TavDiskLib/TavDiskLib.h ${PROJECT_SOURCE_DIR}/TavDiskLib/TavDiskLibTypes.h
                     ${PROJECT_SOURCE_DIR}/TavDiskLib/tavdisk.h)
if(WIN32)
  # A C++ caller releases the device information set with the system's
  # SetupDiDestroyDeviceInfoList.
  target_link_libraries(TavDiskLib INTERFACE setupapi)
  set(TAVDISK_PC_LIBS " -lsetupapi")
endif()

install(TARGETS TavDiskLib EXPORT TavDiskLibTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        FILE_SET HEADERS DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(TAVDISK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TavDiskLib)
install(EXPORT TavDiskLibTargets NAMESPACE TavDiskLib:: DESTINATION ${TAVDISK_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TavDiskLibConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/TavDiskLibConfig.cmake INSTALL_DESTINATION ${TAVDISK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TavDiskLibConfigVersion.cmake
                                 COMPATIBILITY ${TAVDISK_COMPATIBILITY})
install(FILES ${PROJECT_BINARY_DIR}/TavDiskLibConfig.cmake ${PROJECT_BINARY_DIR}/TavDiskLibConfigVersion.cmake
        DESTINATION ${TAVDISK_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own place.
set(TAVDISK_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH TAVDISK_PC_TO_PREFIX /prefix/${TAVDISK_PC_DIR} /prefix)
string(REGEX REPLACE "/$" "" TAVDISK_PC_TO_PREFIX "${TAVDISK_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tavdisklib.pc.in ${PROJECT_BINARY_DIR}/tavdisklib.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tavdisklib.pc DESTINATION ${TAVDISK_PC_DIR})

# An installed tavdisk finds the library of its own prefix.
if(TARGET tavdisk AND NOT WIN32)
  file(RELATIVE_PATH TAVDISK_BIN_TO_LIB /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
  set_target_properties(tavdisk PROPERTIES INSTALL_RPATH "$ORIGIN/${TAVDISK_BIN_TO_LIB}")
endif()

if(WIN32 AND NOT MSVC)
  # The DLL's exports as a module-definition file, for toolchains that make
  # their own import library from it (MSVC: lib /def:TavDiskLib.def).
  target_link_options(TavDiskLib PRIVATE -Wl,--output-def,$<TARGET_FILE_DIR:TavDiskLib>/TavDiskLib.def)
  install(FILES $<TARGET_FILE_DIR:TavDiskLib>/TavDiskLib.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
