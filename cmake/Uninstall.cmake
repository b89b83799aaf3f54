# SPDX-License-Identifier: MIT
# `cmake --build <build> --target uninstall`: removes every file the last
# `cmake --install` of this build tree installed (install_manifest.txt), and
# the project's own directories that are empty afterwards.
set(manifest ${CMAKE_CURRENT_BINARY_DIR}/install_manifest.txt)
if(NOT EXISTS ${manifest})
  message(FATAL_ERROR "nothing to uninstall: ${manifest} not found (run cmake --install first)")
endif()
file(STRINGS ${manifest} files)
set(directories)
foreach(file IN LISTS files)
  if(EXISTS "${file}" OR IS_SYMLINK "${file}")
    message(STATUS "Removing ${file}")
    file(REMOVE "${file}")
  endif()
  get_filename_component(directory "${file}" DIRECTORY)
  list(APPEND directories "${directory}")
endforeach()
# The directories of the project's own (include/TavDiskLib, lib/cmake/TavDiskLib,
# share/tavdisk ...) once they are empty; shared ones (share/man) stay.
list(REMOVE_DUPLICATES directories)
list(SORT directories ORDER DESCENDING)
foreach(directory IN LISTS directories)
  string(TOLOWER "${directory}" lower)
  get_filename_component(name "${lower}" NAME)
  if(IS_DIRECTORY "${directory}" AND name MATCHES "tavdisk")
    file(GLOB entries LIST_DIRECTORIES true "${directory}/*" "${directory}/.*")
    if(NOT entries)
      message(STATUS "Removing ${directory}/")
      file(REMOVE_RECURSE "${directory}")
    endif()
  endif()
endforeach()
file(REMOVE ${manifest})
