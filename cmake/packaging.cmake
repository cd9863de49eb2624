# What `cmake --install` puts where, and the packages cpack makes of it: on
# Windows brenzolt-VERSION-win64.zip (the program, a plain-text README for
# Windows users, the licence and the sample grid), elsewhere
# brenzolt_VERSION_amd64.deb or _arm64.deb (the program, its manual page and
# the README; the licence is in Debian's copyright file). `cmake --install`
# installs the licence beside the README. Each package gets a
# PACKAGE.sha256 beside it.
include(GNUInstallDirs)

# The manual page names the project's version in its title line, as a reader
# of the source sees it: a new version is written there too.
file(STRINGS doc/brenzolt.1 BRENZOLT_MAN_TITLE LIMIT_COUNT 1 REGEX "^\\.TH ")
if(NOT BRENZOLT_MAN_TITLE MATCHES " \"brenzolt ${PROJECT_VERSION}\" ")
  message(FATAL_ERROR "doc/brenzolt.1 must name brenzolt ${PROJECT_VERSION} in its .TH line")
endif()
# So does the changelog's newest entry, which says what the version brings.
file(STRINGS packaging/changelog.in BRENZOLT_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT BRENZOLT_CHANGELOG_TOP MATCHES "^brenzolt \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog.in must begin with an entry for ${PROJECT_VERSION}")
endif()

if(WIN32)
  # Notepad and every other Windows editor read text with CR LF line ends.
  configure_file(packaging/README-windows.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS brenzolt RUNTIME DESTINATION .)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt
                examples/sample.grd DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  install(TARGETS brenzolt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/brenzolt.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The licence too; in the Debian package, Debian's copyright file carries it instead.
  install(FILES README.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert a binary grid file into a Surfer ASCII grid")
set(CPACK_PACKAGE_CONTACT "brenzolt developers <brenzolt@example.org>"
    CACHE STRING "The packages' maintainer")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A cross-built package (cmake/aarch64-linux-gnu.cmake) is for the target's
# processor. dpkg-shlibdeps knows only this machine's libraries, so its
# dependencies are named here: those of the native package, whose compiler and
# C library are the same versions as the cross compiler's (scripts/package.sh
# checks that both packages depend on the same).
if(CMAKE_CROSSCOMPILING AND NOT WIN32)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
endif()
# The summary line comes first on its own.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "brenzolt reads a regular grid of single-precision node values from a binary
grid file (twelve float32 header words, then the rows) and writes it as a
Surfer ASCII grid, the text grid format whose first line is DSAA, with the
number format chosen by a precision code. GDAL and mapping applications read
the result.")
# Debian's own files of a package: the manual page compressed, the changelog
# and the copyright notice.
# The changelog's date is its newest entry's release date, unless SOURCE_DATE_EPOCH gives
# another (scripts/package.sh dates the package's files the same way), so that two builds of
# one source make one package.
configure_file(packaging/changelog.in packaging/changelog @ONLY)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  file(STRINGS packaging/changelog.in BRENZOLT_RELEASE_LINE REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX REPLACE "^ -- .*  " "" BRENZOLT_RELEASE_DATE "${BRENZOLT_RELEASE_LINE}")
  string(TIMESTAMP BRENZOLT_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(READ ${PROJECT_BINARY_DIR}/packaging/changelog BRENZOLT_CHANGELOG)
  string(REPLACE "${BRENZOLT_RELEASE_DATE}" "${BRENZOLT_PACKAGE_DATE}" BRENZOLT_CHANGELOG
                 "${BRENZOLT_CHANGELOG}")
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/changelog "${BRENZOLT_CHANGELOG}")
endif()
configure_file(packaging/debian-files.cmake.in packaging/debian-files.cmake @ONLY)
if(NOT WIN32)
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_BINARY_DIR}/packaging/debian-files.cmake)
endif()

include(CPack)
