# SPDX-License-Identifier: MIT
# Dependencies of a Windows cross build, taken from the build machine's
# Debian packages without letting its own headers and libraries leak in.
#
# Included by project() through CMAKE_PROJECT_TavDiskLib_INCLUDE (the
# mingw-* presets set it). Afterwards find_package(GTest), find_package(
# nlohmann_json) and find_package(CLI11) answer with targets of this build:
#   GTest::gtest, GTest::gtest_main, built here from /usr/src/googletest
#   GTest::gmock, GTest::gmock_main  (Debian package googletest);
#   nlohmann_json::nlohmann_json,    header-only, from the Debian packages'
#   CLI11::CLI11                     headers, exposed through a directory of
#                                    their own so that /usr/include (the
#                                    build machine's C library) never enters
#                                    the include path.
if(NOT (CMAKE_CROSSCOMPILING AND WIN32))
  return()
endif()

set(TAVDISK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
set(TAVDISK_HOST_INCLUDE /usr/include CACHE PATH "Where the header-only libraries' headers are installed")

# Writes a config file for <name> into the redirect directory that every
# find_package() call consults first; `body` creates or checks the targets.
function(tavdisk_redirect_package name version body)
  set(dir ${CMAKE_FIND_PACKAGE_REDIRECTS_DIR})
  string(TOLOWER ${name} lower)
  file(WRITE ${dir}/${lower}-config.cmake "${body}\nset(${name}_FOUND TRUE)\n")
  file(WRITE ${dir}/${lower}-config-version.cmake
       "set(PACKAGE_VERSION ${version})\n"
       "if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)\n"
       "  set(PACKAGE_VERSION_COMPATIBLE FALSE)\n"
       "else()\n"
       "  set(PACKAGE_VERSION_COMPATIBLE TRUE)\n"
       "  if(PACKAGE_FIND_VERSION STREQUAL PACKAGE_VERSION)\n"
       "    set(PACKAGE_VERSION_EXACT TRUE)\n"
       "  endif()\n"
       "endif()\n")
endfunction()

# GoogleTest, built once in this build tree for the target system.
if((NOT DEFINED TAVDISK_BUILD_TESTS OR TAVDISK_BUILD_TESTS) AND NOT TARGET GTest::gtest)
  if(NOT EXISTS ${TAVDISK_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${TAVDISK_GOOGLETEST_SOURCE} (Debian package googletest)")
  endif()
  # GoogleMock too: its targets are built only when a test links them.
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  block(SCOPE_FOR VARIABLES)
    set(BUILD_SHARED_LIBS OFF)
    add_subdirectory(${TAVDISK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  endblock()
  file(STRINGS ${TAVDISK_GOOGLETEST_SOURCE}/CMakeLists.txt gtest_version REGEX "GOOGLETEST_VERSION [0-9.]+")
  string(REGEX MATCH "[0-9]+(\\.[0-9]+)*" gtest_version "${gtest_version}")
  if(NOT gtest_version)
    set(gtest_version 0)
  endif()
  tavdisk_redirect_package(GTest ${gtest_version} "if(NOT TARGET GTest::gtest OR NOT TARGET GTest::gtest_main)
  message(FATAL_ERROR \"GTest targets of the cross build are missing\")
endif()")
endif()

# Header-only libraries: each package's own header directory is linked into
# a directory of the build tree, which becomes the include directory.
set(TAVDISK_HEADER_ONLY ${CMAKE_BINARY_DIR}/host-headers)
function(tavdisk_header_only name target subdir version)
  if(NOT EXISTS ${TAVDISK_HOST_INCLUDE}/${subdir})
    return() # find_package() then reports the package as missing
  endif()
  file(MAKE_DIRECTORY ${TAVDISK_HEADER_ONLY})
  file(CREATE_LINK ${TAVDISK_HOST_INCLUDE}/${subdir} ${TAVDISK_HEADER_ONLY}/${subdir} SYMBOLIC)
  tavdisk_redirect_package(${name} ${version} "if(NOT TARGET ${target})
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES \"${TAVDISK_HEADER_ONLY}\")
  set_property(TARGET ${target} PROPERTY INTERFACE_SYSTEM_INCLUDE_DIRECTORIES \"${TAVDISK_HEADER_ONLY}\")
endif()")
endfunction()

# The packages' versions, read from their headers.
function(tavdisk_header_version prefix out)
  set(version 0)
  set(lines)
  foreach(header ${ARGN})
    if(EXISTS ${header})
      file(STRINGS ${header} found REGEX "#define ${prefix}(MAJOR|MINOR|PATCH)")
      list(APPEND lines ${found})
    endif()
  endforeach()
  if(lines)
    set(parts)
    foreach(part MAJOR MINOR PATCH)
      string(REGEX MATCH "#define ${prefix}${part}[ \t]+([0-9]+)" match "${lines}")
      list(APPEND parts ${CMAKE_MATCH_1})
    endforeach()
    list(JOIN parts . version)
  endif()
  set(${out} ${version} PARENT_SCOPE)
endfunction()

if(NOT DEFINED TAVDISK_BUILD_TOOLS OR TAVDISK_BUILD_TOOLS)
  tavdisk_header_version(NLOHMANN_JSON_VERSION_ json_version ${TAVDISK_HOST_INCLUDE}/nlohmann/detail/abi_macros.hpp
                         ${TAVDISK_HOST_INCLUDE}/nlohmann/json.hpp)
  tavdisk_header_only(nlohmann_json nlohmann_json::nlohmann_json nlohmann ${json_version})
  tavdisk_header_version(CLI11_VERSION_ cli11_version ${TAVDISK_HOST_INCLUDE}/CLI/Version.hpp)
  tavdisk_header_only(CLI11 CLI11::CLI11 CLI ${cli11_version})
endif()
