# SPDX-License-Identifier: MIT
# Packages (cpack in a build tree): a Debian package and a .tar.gz with the
# library, its headers, the CMake package and pkg-config file, tavdisk with
# its manual page, bash completion and JSON schema. Build them from a Release
# build installed under /usr, as tests/package/run.sh does:
#   cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
#         -DTAVDISK_BUILD_TESTS=OFF -DTAVDISK_BUILD_BENCH=OFF
#   cmake --build build/package && (cd build/package && cpack)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tavdisklib RENAME copyright)

set(CPACK_PACKAGE_NAME tavdisklib)
set(CPACK_PACKAGE_VENDOR "The TavDiskLib developers")
set(CPACK_PACKAGE_CONTACT "The TavDiskLib developers <tavdisklib@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "The physical disks of a machine: what each one is and where it sits")
set(CPACK_PACKAGE_DESCRIPTION
    "TavDiskLib finds the physical disks of a machine and tells an application what each one is: bus, vendor, product, revision and serial, geometry and size, SCSI address, the mount points of its volumes, the controller. The package holds the library, its C and C++ headers, CMake and pkg-config files, and tavdisk, the command-line program.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tavdisklib.invalid/")
# The runtime dependencies (libc, libstdc++, libblkid, libudev) from the
# libraries the binaries link, as dpkg-shlibdeps finds them; the shlibs
# file and the ldconfig trigger for the library.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion, man-db")
include(CPack)
