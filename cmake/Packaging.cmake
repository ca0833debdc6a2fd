# SPDX-License-Identifier: MIT
# Debian packages, made from the release build with `cpack -G DEB`:
#   wlclient        the programs, their manual pages, the menu entry and the icon
#   libcsocket-dev  the static libraries, their headers, the CMake and pkg-config files
# The programs' dependencies are computed from the binaries by dpkg-shlibdeps.
set(CSOCKET_PACKAGE_MAINTAINER "cSocket maintainers <maintainers@csocket.invalid>"
    CACHE STRING "Maintainer named in the Debian packages")

set(CPACK_PACKAGE_NAME cSocket)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${CSOCKET_PACKAGE_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL programs dev)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME wlclient)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SUGGESTS lirc)
set(CPACK_DEBIAN_PROGRAMS_DESCRIPTION
"window that shows what an infrared remote-control server sends
wlclient connects over TCP to an infrared remote-control server such as
lircd and shows each button press it sends, with a beep.
.
remote_demo_server stands in for such a server when there is no receiver:
it sends made-up button presses in the same line format.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcsocket-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION
"event-driven TCP and UDP sockets on a message loop (C++20)
cSocket is a socket component for C++20 programs: one object per TCP or UDP
socket, client or server, whose events (connected, data arrived, closed,
error, ...) are raised from a single-threaded message loop, which another
event loop can drive through one file descriptor.
.
This package holds the static libraries, their headers, a CMake package
(find_package(cSocket)) and a pkg-config file (cSocket).")

# Every Debian package carries its copyright file and its changelog (compressed) in
# its own documentation folder. The changelog's newest entry must be this version.
file(STRINGS cmake/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^csocket \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "cmake/debian/changelog has no entry for version ${PROJECT_VERSION} at its top")
endif()
find_program(GZIP_PROGRAM gzip REQUIRED)
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog)
configure_file(cmake/debian/changelog ${changelog} COPYONLY)
add_custom_command(OUTPUT ${changelog}.gz
  COMMAND ${GZIP_PROGRAM} -9nkf ${changelog}
  DEPENDS ${changelog}
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${changelog}.gz)
foreach(package_component IN ITEMS "wlclient;programs" "libcsocket-dev;dev")
  list(GET package_component 0 package)
  list(GET package_component 1 component)
  install(FILES cmake/debian/copyright ${changelog}.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

include(CPack)
