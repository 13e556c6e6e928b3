# SPDX-License-Identifier: MIT
# find_package(veeprom CONFIG) gives veeprom::veeprom: the static library, or
# where the build made one (BUILD_SHARED_LIBS=ON) libveeprom.so, with the
# static library beside it as veeprom::veeprom_static.
include(${CMAKE_CURRENT_LIST_DIR}/veeprom-targets.cmake)
