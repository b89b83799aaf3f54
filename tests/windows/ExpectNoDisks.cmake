# SPDX-License-Identifier: MIT
# tavdisk on a machine without disks: it says so and succeeds, in the table
# and as JSON. Run with -DPROGRAM=<tavdisk.exe> [-DEMULATOR=<wine>].
set(runner)
if(EMULATOR)
  set(runner ${EMULATOR})
endif()

execute_process(COMMAND ${runner} ${PROGRAM} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "tavdisk: status ${status}\n${out}${err}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "tavdisk exited with ${status}, expected 0")
endif()
if(NOT out MATCHES "No disks found")
  message(FATAL_ERROR "tavdisk did not say that there are no disks")
endif()

execute_process(COMMAND ${runner} ${PROGRAM} --json RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "tavdisk --json: status ${status}\n${out}${err}")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "tavdisk --json exited with ${status}, expected 0")
endif()
if(NOT out MATCHES "\"disks\"[ \t\r\n]*:[ \t\r\n]*\\[[ \t\r\n]*\\]")
  message(FATAL_ERROR "tavdisk --json did not give an empty disk list")
endif()
