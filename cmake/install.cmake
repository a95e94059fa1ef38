# Install rules and packages.
#
# POSIX: the program in bin/ and its manual page in share/man/man1/ (gzipped
# when gzip is at hand, as distributions ship them); `cpack` makes a .deb
# where dpkg-deb is found and a .tar.gz elsewhere.
# Windows: quorrex.exe and the README side by side; `cpack` makes a .zip.

if(WIN32)
  install(TARGETS quorrex RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
else()
  include(GNUInstallDirs)
  install(TARGETS quorrex RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  set(QUORREX_MANUAL ${CMAKE_CURRENT_SOURCE_DIR}/doc/quorrex.1)
  find_program(QUORREX_GZIP gzip)
  if(QUORREX_GZIP)
    # -n keeps the name and time out of the archive, so builds are reproducible.
    add_custom_command(
      OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/quorrex.1.gz
      COMMAND ${QUORREX_GZIP} -9 -n -c ${QUORREX_MANUAL} > ${CMAKE_CURRENT_BINARY_DIR}/quorrex.1.gz
      DEPENDS ${QUORREX_MANUAL}
      COMMENT "Compressing the manual page")
    add_custom_target(quorrex_manual ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/quorrex.1.gz)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quorrex.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${QUORREX_MANUAL} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()

set(QUORREX_PACKAGE_MAINTAINER "Quorrex developers <quorrex@users.noreply.invalid>"
    CACHE STRING "Maintainer named in the packages (Name <address>)")

set(CPACK_PACKAGE_NAME quorrex)
set(CPACK_PACKAGE_VENDOR Quorrex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${QUORREX_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "list reparse points, symbolic links and hard links under a folder")
set(CPACK_PACKAGE_DESCRIPTION
    "Quorrex walks a folder and lists every reparse point it finds (on Linux and\n\
macOS: every symbolic link, with its target), then every group of files that\n\
are hard links of one another, then a summary of counts. It never opens a\n\
file for reading, ends on looping and very deep trees, and prints names that\n\
are not valid UTF-8 as their original bytes.")
set(CPACK_RESOURCE_FILE_README ${CMAKE_CURRENT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_SOURCE_GENERATOR "")

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(QUORREX_PACKAGE_SYSTEM windows-x86)
  else()
    set(QUORREX_PACKAGE_SYSTEM windows-x64)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quorrex-${PROJECT_VERSION}-${QUORREX_PACKAGE_SYSTEM})
else()
  find_program(QUORREX_DPKG_DEB dpkg-deb)
  if(QUORREX_DPKG_DEB)
    set(CPACK_GENERATOR DEB)
  else()
    set(CPACK_GENERATOR TGZ)
  endif()
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUORREX_PACKAGE_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
endif()

include(CPack)
