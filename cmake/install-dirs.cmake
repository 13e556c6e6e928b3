# SPDX-License-Identifier: MIT
# The library, its CMake package and veeprom.pc go to the multiarch directory
# (lib/aarch64-linux-gnu, lib/x86_64-linux-gnu) where Debian's linker,
# pkg-config and find_package look for that architecture, a cross sysroot's
# included.  GNUInstallDirs picks it for a /usr prefix only; here it holds for
# every prefix, because the packages install under /usr whatever prefix the
# build was configured with, and an installed tree can be moved anywhere.
# -DCMAKE_INSTALL_LIBDIR=... overrides it.
if(CMAKE_LIBRARY_ARCHITECTURE)
  get_property(libdir_help CACHE CMAKE_INSTALL_LIBDIR PROPERTY HELPSTRING)
  if(NOT DEFINED CACHE{VEEPROM_LIBDIR_CHOSEN} AND libdir_help STREQUAL "Object code libraries (lib)")
    unset(CMAKE_INSTALL_LIBDIR CACHE) # GNUInstallDirs' choice in a build tree made before this rule
  endif()
  if(NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
      "Object code libraries (lib/${CMAKE_LIBRARY_ARCHITECTURE})")
  endif()
  set(VEEPROM_LIBDIR_CHOSEN ON CACHE INTERNAL "CMAKE_INSTALL_LIBDIR was given its multiarch default")
  set(libdir_chosen ${CMAKE_INSTALL_LIBDIR})
endif()
include(GNUInstallDirs)
# GNUInstallDirs puts back its own default when the prefix changes from /usr.
if(libdir_chosen STREQUAL "lib/${CMAKE_LIBRARY_ARCHITECTURE}" AND NOT CMAKE_INSTALL_LIBDIR STREQUAL libdir_chosen)
  set_property(CACHE CMAKE_INSTALL_LIBDIR PROPERTY VALUE ${libdir_chosen})
  set(CMAKE_INSTALL_LIBDIR ${libdir_chosen})
endif()
