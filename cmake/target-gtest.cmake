# SPDX-License-Identifier: MIT
# GoogleTest for a cross build: Debian installs GoogleTest built for the
# host only, with its sources (libgtest-dev), so build those with the cross
# compiler and let the tests' find_package(GTest) take them (its targets
# include the GTest:: names).
include(FetchContent)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
FetchContent_Declare(GTest SOURCE_DIR /usr/src/googletest OVERRIDE_FIND_PACKAGE)
FetchContent_MakeAvailable(GTest)
