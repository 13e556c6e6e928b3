# SPDX-License-Identifier: MIT
# GoogleTest for a cross build: Debian installs GoogleTest built for the
# host only, with its sources (libgtest-dev), so build those with the cross
# compiler and let the tests' find_package(GTest) take them (its targets
# include the GTest:: names).
if(CMAKE_VERSION VERSION_LESS 3.24)
  message(FATAL_ERROR "the unit tests cross-built for aarch64 need CMake 3.24 or later (FetchContent's "
    "OVERRIDE_FIND_PACKAGE); configure with -DVEEPROM_TESTS=OFF for the library and tools alone")
endif()
include(FetchContent)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
FetchContent_Declare(GTest SOURCE_DIR /usr/src/googletest OVERRIDE_FIND_PACKAGE)
FetchContent_MakeAvailable(GTest)
