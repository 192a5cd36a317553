# Install layout and the Debian package (`cpack -G DEB` in a build folder).
#
# This file also serves as CPack's pre-build script: CPack runs it on the
# staged tree, with CPACK_TEMPORARY_DIRECTORY set, after installing the files
# and before building the package. In that run it only compresses the manual
# pages, as Debian expects them; `cmake --install` leaves them as they are.
if(CPACK_TEMPORARY_DIRECTORY)
  find_program(KELVODA_GZIP gzip)
  if(KELVODA_GZIP)
    file(GLOB_RECURSE man_pages LIST_DIRECTORIES false
      "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/*.1")
    foreach(page IN LISTS man_pages)
      # -n leaves out name and time stamp, so equal pages give equal bytes.
      execute_process(COMMAND ${KELVODA_GZIP} -9nf ${page}
        COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()
  return()
endif()

include(GNUInstallDirs)

install(TARGETS kelvoda RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/doc/kelvoda.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/doc/kelvoda.de.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/de/man1 RENAME kelvoda.1)
install(FILES ${PROJECT_SOURCE_DIR}/completion/kelvoda
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)

set(KELVODA_DEB_MAINTAINER "Tarvelin" CACHE STRING
  "Maintainer field of the Debian package, as \"Name <address>\"")

set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvoda)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tarvelin")
set(CPACK_PACKAGE_CONTACT "${KELVODA_DEB_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "mirror one directory tree onto another, one way")
set(CPACK_PACKAGE_DESCRIPTION
  "kelvoda compares a local and a host directory tree by relative path and\n\
modification time, lists what it would change on the host, asks for\n\
confirmation (or not, with -y) and then copies newer and missing files to\n\
the host, deletes host-only files and removes the host folders that the\n\
deletions left empty. Its messages are German.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_FILE})
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE
  GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The architecture comes from `dpkg --print-architecture`, CPack's default.
# dpkg-shlibdeps (from dpkg-dev) computes Depends from the binary's libraries;
# without it the package names the two runtime libraries every build needs.
find_program(KELVODA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KELVODA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

include(CPack)
