# SPDX-License-Identifier: MIT
# find_package(veeprom CONFIG) gives veeprom::veeprom: the static library, or
# where the build made one (BUILD_SHARED_LIBS=ON) libveeprom.so, with the
# static library beside it as veeprom::veeprom_static.
include(${CMAKE_CURRENT_LIST_DIR}/veeprom-targets.cmake)
# veeprom::veeprom_static only where its archive is installed: a split
# installation (a -staticdev package, an SDK) may leave the archive out, and
# the shared library's clients then find the package all the same.  This file
# lies in LIBDIR/cmake/veeprom, beside the archive's LIBDIR.
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/veeprom-static-targets.cmake
   AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/../../libveeprom.a)
  include(${CMAKE_CURRENT_LIST_DIR}/veeprom-static-targets.cmake)
endif()
