# SPDX-License-Identifier: MIT
# The board's paths and names, for board variants: fixed when the project is
# built, never read on the board.  Each is checked here, so that a bad value
# stops the configure instead of a board that cannot find its store.
set(VEEPROM_EMMC_DISK "/dev/mmcblk0" CACHE STRING "eMMC disk whose GPT holds the store partition (its partitions are DISKp<N>)")
set(VEEPROM_PARTITION "veeprom" CACHE STRING "name of the store's MTD and GPT partition (7 characters at most)")
set(VEEPROM_UBI_DEVICE "10" CACHE STRING "UBI device the store's volume 0 is on (/dev/ubi<N>_0)")
set(VEEPROM_UBI_PARTITIONS "env;boot" CACHE STRING "MTD partitions to attach that UBI device from, tried in order")
set(VEEPROM_ADDRESS_FILE "/tmp/ip_ip" CACHE STRING "file drask_netaddr g publishes the address in")

function(veeprom_refuse name why)
  message(FATAL_ERROR "${name}='${${name}}': ${why}")
endfunction()

# Paths: absolute, plain, and short enough for the buffers that carry them:
# the store's device path (128 bytes) holds the disk and "p<N>"; the address
# file's temporary twin adds 17 characters within 64.
foreach(setting VEEPROM_EMMC_DISK:100 VEEPROM_ADDRESS_FILE:46)
  string(REPLACE ":" ";" pair ${setting})
  list(GET pair 0 name)
  list(GET pair 1 longest)
  string(LENGTH "${${name}}" length)
  if(NOT ${name} MATCHES "^/[A-Za-z0-9_./+-]+$" OR ${name} MATCHES "/$")
    veeprom_refuse(${name} "an absolute path of letters, digits and _ . / + - is wanted")
  elseif(length GREATER longest)
    veeprom_refuse(${name} "${length} characters; the board's buffers take ${longest} at most")
  endif()
endforeach()
# The GPT match compares an 8-byte label with its terminator.
if(NOT VEEPROM_PARTITION MATCHES "^[A-Za-z0-9_.-]+$")
  veeprom_refuse(VEEPROM_PARTITION "a partition name of letters, digits and _ . - is wanted")
endif()
string(LENGTH "${VEEPROM_PARTITION}" length)
if(length GREATER 7)
  veeprom_refuse(VEEPROM_PARTITION "${length} characters; a GPT label is matched on 7 and its terminator")
endif()
if(NOT VEEPROM_UBI_DEVICE MATCHES "^(0|[1-9][0-9]?)$" OR VEEPROM_UBI_DEVICE GREATER 31)
  veeprom_refuse(VEEPROM_UBI_DEVICE "a UBI device number 0 to 31 is wanted")
endif()
if(VEEPROM_UBI_PARTITIONS STREQUAL "")
  veeprom_refuse(VEEPROM_UBI_PARTITIONS "one MTD partition name at least is wanted")
endif()
set(ubi_partitions "")
foreach(part IN LISTS VEEPROM_UBI_PARTITIONS)
  if(NOT part MATCHES "^[A-Za-z0-9_.-]+$")
    veeprom_refuse(VEEPROM_UBI_PARTITIONS "'${part}' is no MTD partition name of letters, digits and _ . -")
  endif()
  string(APPEND ubi_partitions "\"${part}\", ")
endforeach()
string(REGEX REPLACE ", $" "" VEEPROM_UBI_PARTITION_LIST "${ubi_partitions}")
string(REPLACE ";" " or " VEEPROM_UBI_PARTITIONS_TEXT "${VEEPROM_UBI_PARTITIONS}")
set(VEEPROM_UBI_VOLUME_PATH "/dev/ubi${VEEPROM_UBI_DEVICE}_0")
configure_file(${CMAKE_CURRENT_LIST_DIR}/veeprom_board.h.in ${PROJECT_BINARY_DIR}/generated/veeprom_board.h @ONLY)

# veeprom_board_text(VAR): the text in VAR with the default board's paths
# and names, as the documents and scripts spell them, replaced by this
# build's.  The sources keep the defaults, so that they read as they are.
function(veeprom_board_text var)
  set(text "${${var}}")
  string(REPLACE "/dev/ubi10_0" "${VEEPROM_UBI_VOLUME_PATH}" text "${text}")
  string(REPLACE "UBI device 10" "UBI device ${VEEPROM_UBI_DEVICE}" text "${text}")
  string(REPLACE "/dev/mmcblk0" "${VEEPROM_EMMC_DISK}" text "${text}")
  string(REPLACE "/tmp/ip_ip" "${VEEPROM_ADDRESS_FILE}" text "${text}")
  set(p ${VEEPROM_PARTITION}) # the partition, where it is named (veeprom is the tool's name too)
  string(REPLACE "named\n.BR veeprom" "named\n.BR ${p}" text "${text}")
  string(REPLACE "named\n.B veeprom\n" "named\n.B ${p}\n" text "${text}")
  string(REPLACE "named \\fBveeprom\\fP" "named \\fB${p}\\fP" text "${text}")
  string(REPLACE "partition named veeprom" "partition named ${p}" text "${text}")
  string(REPLACE "volume named veeprom" "volume named ${p}" text "${text}")
  string(REPLACE "setenv veeprom_part veeprom\n" "setenv veeprom_part ${p}\n" text "${text}")
  string(REPLACE ";" " ,\nor else\n.BR " ubi_parts "${VEEPROM_UBI_PARTITIONS}")
  string(REPLACE ".BR env ,\nor else\n.BR boot ," ".BR ${ubi_parts} ," text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()
