# Install rules and packages: a Debian package on Linux, a ZIP for the Windows build.
#   cmake --build build && (cd build && cpack -G DEB)
#   scripts/build-arm64.sh && (cd build-arm64 && cpack -G DEB)
#   scripts/build-windows.sh && (cd build-windows && cpack -G ZIP)
# DRIVE_TEST_TITLE and DRIVE_TEST_VERSION come from src/report/program.h (top-level CMakeLists.txt).

set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_SOURCE_DIR}/src/report/program.h ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)

# The project maintains its own packages. The address is in a reserved domain
# until the project has one of its own; a packager sets DRIVE_TEST_MAINTAINER.
# (A cache entry of an older build tree still holding an earlier placeholder,
# which Debian's checks refuse, is replaced.)
set(DRIVE_TEST_MAINTAINER_DEFAULT "drive-test developers <drive-test@tesselmark.example>")
if(DRIVE_TEST_MAINTAINER MATCHES "@localhost>$")
  unset(DRIVE_TEST_MAINTAINER CACHE)
endif()
set(DRIVE_TEST_MAINTAINER "${DRIVE_TEST_MAINTAINER_DEFAULT}"
  CACHE STRING "Maintainer named in the packages (Name <address>)")
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE DRIVE_TEST_LICENSE)

set(CPACK_PACKAGE_NAME drive-test)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${DRIVE_TEST_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sustained write speed and read-back test for storage")
# Wrapped for the Debian control file, which shows it as it stands.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "${DRIVE_TEST_TITLE}."
  "drive-test writes one large file to a volume with direct, write-through"
  "I/O in sector-aligned blocks, takes a speed sample about once per second"
  "and holds every sample against a required minimum speed."
  "Afterwards it reads the file back and compares every byte with a"
  "position-dependent pattern, which reveals corrupted, misplaced or missing"
  "data, such as on flash drives that report more capacity than they have."
  "The settings are asked in a short dialogue; a live dashboard shows the"
  "progress and a CSV log records every sample and failure.")
set(CPACK_STRIP_FILES TRUE)

if(WIN32)
  # The executable and a README with Windows line ends, side by side in the archive root.
  install(TARGETS drive-test RUNTIME DESTINATION .)
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/docs/README-windows.txt DRIVE_TEST_README)
  string(REPLACE "\n" "\r\n" DRIVE_TEST_README "${DRIVE_TEST_README}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/README.txt "${DRIVE_TEST_README}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/docs/README-windows.txt)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)
  string(REPLACE "\n" "\r\n" DRIVE_TEST_LICENSE_CRLF "${DRIVE_TEST_LICENSE}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt "${DRIVE_TEST_LICENSE_CRLF}")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  include(GNUInstallDirs)
  install(TARGETS drive-test RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # The manual page, with the title and version filled in, compressed as Debian wants it.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/docs/drive-test.1.in
                 ${CMAKE_CURRENT_BINARY_DIR}/drive-test.1 @ONLY)
  set(DRIVE_TEST_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/man/drive-test.1.gz)
  add_custom_command(OUTPUT ${DRIVE_TEST_MAN_GZ}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_BINARY_DIR}/drive-test.1
            ${CMAKE_CURRENT_BINARY_DIR}/man/drive-test.1
    COMMAND ${GZIP_PROGRAM} -9 -n -f ${CMAKE_CURRENT_BINARY_DIR}/man/drive-test.1
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/drive-test.1
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(drive-test-man ALL DEPENDS ${DRIVE_TEST_MAN_GZ})
  install(FILES ${DRIVE_TEST_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # The licence in Debian's machine-readable copyright format (MIT is "Expat" there).
  string(REGEX REPLACE "\n$" "" DRIVE_TEST_LICENSE_BODY "${DRIVE_TEST_LICENSE}")
  string(REGEX REPLACE "^MIT License\n\n" "" DRIVE_TEST_LICENSE_BODY "${DRIVE_TEST_LICENSE_BODY}")
  string(REGEX REPLACE "\n\n" "\n.\n" DRIVE_TEST_LICENSE_BODY "${DRIVE_TEST_LICENSE_BODY}")
  string(REPLACE "\n" "\n " DRIVE_TEST_LICENSE_BODY "${DRIVE_TEST_LICENSE_BODY}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: drive-test\n"
    "\n"
    "Files: *\n"
    "Copyright: 2026 drive-test developers\n"
    "License: Expat\n"
    " ${DRIVE_TEST_LICENSE_BODY}\n")
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/drive-test)

  # The Debian changelog of this native package: its newest entry is this version.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/docs/changelog)
  file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/docs/changelog DRIVE_TEST_CHANGELOG_TOP LIMIT_COUNT 1)
  if(NOT DRIVE_TEST_CHANGELOG_TOP MATCHES "^drive-test \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "docs/changelog must begin with an entry for version ${PROJECT_VERSION}")
  endif()
  set(DRIVE_TEST_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz)
  add_custom_command(OUTPUT ${DRIVE_TEST_CHANGELOG_GZ}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/docs/changelog
            ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog
    COMMAND ${GZIP_PROGRAM} -9 -n -f ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/changelog
    COMMENT "Compressing the changelog"
    VERBATIM)
  add_custom_target(drive-test-changelog ALL DEPENDS ${DRIVE_TEST_CHANGELOG_GZ})
  install(FILES ${DRIVE_TEST_CHANGELOG_GZ} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/drive-test)

  # Loaded by bash-completion the first time drive-test is completed.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/docs/drive-test.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
          RENAME drive-test)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DRIVE_TEST_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  if(CMAKE_CROSSCOMPILING)
    # A cross build's package is for its target: dpkg-shlibdeps cannot read that
    # binary's libraries here, so cmake/deb-depends.cmake works out its Depends.
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
      set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
    else()
      message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
    endif()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DRIVE_TEST_BINARY ${CMAKE_BINARY_DIR}/drive-test)
    set(CPACK_DRIVE_TEST_OBJDUMP ${CMAKE_OBJDUMP})
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cmake/deb-depends.cmake)
  else()
    # Dependencies come from the libraries the binary links (dpkg-shlibdeps, from dpkg-dev).
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()

include(CPack)
