# SPDX-License-Identifier: MIT
# find_package(veeprom CONFIG) gives the imported static library veeprom::veeprom.
include(${CMAKE_CURRENT_LIST_DIR}/veeprom-targets.cmake)
