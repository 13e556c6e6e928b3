# SPDX-License-Identifier: MIT
# What Debian's packaging helpers would do to the staged packages, run by CPack
# after it installs each component under CPACK_TEMPORARY_DIRECTORY/<component>
# and before it builds the packages from them: binaries stripped as dh_strip
# does, manual pages compressed, the copyright file and the compressed changelog
# in usr/share/doc/<package>/, and directory modes that do not depend on the
# umask.
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(root ${CPACK_TEMPORARY_DIRECTORY}/${component})
  set(usr ${root}${CPACK_PACKAGING_INSTALL_PREFIX})

  file(GLOB_RECURSE files LIST_DIRECTORIES false ${root}/*)
  foreach(file IN LISTS files)
    if(IS_SYMLINK ${file})
      continue()
    endif()
    file(READ ${file} magic LIMIT 8 HEX)
    set(strip)
    if(magic MATCHES "^7f454c46") # ELF: a program, or a shared library
      set(strip --remove-section=.comment --remove-section=.note)
      if(file MATCHES "\\.so(\\.[0-9]+)*$")
        list(APPEND strip --strip-unneeded)
      endif()
    elseif(magic STREQUAL "213c617263683e0a") # "!<arch>\n": a static library
      # Its link-time-optimisation code is for one compiler version only; the
      # objects keep their machine code.
      set(strip --strip-debug --remove-section=.comment --remove-section=.note
        --enable-deterministic-archives -R .gnu.lto_* -R .gnu.debuglto_* -N __gnu_lto_slim -N __gnu_lto_v1)
    elseif(file MATCHES "/share/man/[^/]+/[^/]+$" AND NOT file MATCHES "\\.gz$")
      execute_process(COMMAND gzip -9n ${file} COMMAND_ERROR_IS_FATAL ANY)
    endif()
    if(strip)
      execute_process(COMMAND ${CPACK_VEEPROM_STRIP} ${strip} ${file} COMMAND_ERROR_IS_FATAL ANY)
    endif()
  endforeach()

  set(doc ${usr}/share/doc/${package})
  file(MAKE_DIRECTORY ${doc})
  file(COPY_FILE ${CPACK_VEEPROM_COPYRIGHT} ${doc}/copyright)
  execute_process(COMMAND gzip -9n INPUT_FILE ${CPACK_VEEPROM_CHANGELOG} OUTPUT_FILE ${doc}/changelog.gz
    COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD ${doc}/copyright ${doc}/changelog.gz PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(GLOB_RECURSE dirs LIST_DIRECTORIES true ${root}/*)
  foreach(dir IN LISTS dirs)
    if(IS_DIRECTORY ${dir} AND NOT IS_SYMLINK ${dir})
      file(CHMOD ${dir} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
        WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
endforeach()
