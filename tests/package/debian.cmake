# SPDX-License-Identifier: MIT
# Makes the Debian packages from the build tree with CPack and checks them as dpkg
# and lintian see them: names, computed dependencies, contents and ownership.
# Arguments: BUILD_DIR, WORK_DIR, CPACK, VERSION, LIBDIR.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK_DIR}")
include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)
function(expect what text regex)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${what}: no match for '${regex}' in:\n${text}")
  endif()
endfunction()

run("${CPACK}" -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}")
file(GLOB debs RELATIVE "${WORK_DIR}" "${WORK_DIR}/*.deb")
list(SORT debs)
set(programs_deb "")
set(dev_deb "")
foreach(deb IN LISTS debs)
  if(deb MATCHES "^wlclient_${VERSION}_[a-z0-9]+\\.deb$")
    set(programs_deb "${WORK_DIR}/${deb}")
  elseif(deb MATCHES "^libcsocket-dev_${VERSION}_[a-z0-9]+\\.deb$")
    set(dev_deb "${WORK_DIR}/${deb}")
  else()
    message(FATAL_ERROR "an unexpected package: ${deb}")
  endif()
endforeach()
if(NOT programs_deb OR NOT dev_deb)
  message(FATAL_ERROR "expected wlclient and libcsocket-dev packages, got: ${debs}")
endif()

# The control data. The programs' dependencies come from their binaries: Qt and the C++
# runtime appear only if dpkg-shlibdeps looked at them.
run(dpkg-deb --info "${programs_deb}")
set(info "${out}")
expect(wlclient "${info}" "\n Package: wlclient\n")
expect(wlclient "${info}" "\n Version: ${VERSION}\n")
expect(wlclient "${info}" "\n Section: utils\n")
expect(wlclient "${info}" "\n Depends: [^\n]*libqt6widgets6 \\(>= [^\n]*\n")
expect(wlclient "${info}" "\n Depends: [^\n]*libstdc\\+\\+6 \\(>= [^\n]*\n")
expect(wlclient "${info}" "\n Suggests: lirc\n")
run(dpkg-deb --info "${dev_deb}")
set(info "${out}")
expect(libcsocket-dev "${info}" "\n Package: libcsocket-dev\n")
expect(libcsocket-dev "${info}" "\n Section: libdevel\n")
if(info MATCHES "\n Architecture: all\n")
  message(FATAL_ERROR "libcsocket-dev holds compiled libraries, so it cannot be Architecture: all")
endif()

# The contents: each file where it belongs, owned by root, and no file in both packages
# (dpkg would refuse to install the second).
function(contents deb var)
  run(dpkg-deb --contents "${deb}")
  string(REGEX REPLACE "\n$" "" out "${out}")
  string(REPLACE "\n" ";" lines "${out}")
  set(files "")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^([-dl])[rwxs-]+ root/root +[0-9]+ [0-9-]+ [0-9:]+ \\./(.*)$")
      message(FATAL_ERROR "${deb}: not a root-owned entry: ${line}")
    endif()
    if(NOT CMAKE_MATCH_1 STREQUAL "d")
      list(APPEND files "/${CMAKE_MATCH_2}")
    endif()
  endforeach()
  set(${var} "${files}" PARENT_SCOPE)
endfunction()
contents("${programs_deb}" programs_files)
contents("${dev_deb}" dev_files)

foreach(path
    /usr/bin/wlclient /usr/bin/remote_demo_server
    /usr/share/man/man1/wlclient.1.gz /usr/share/man/man1/remote_demo_server.1.gz
    /usr/share/applications/wlclient.desktop
    /usr/share/icons/hicolor/scalable/apps/wlclient.svg /usr/share/icons/hicolor/48x48/apps/wlclient.png
    /usr/share/doc/wlclient/copyright)
  if(NOT path IN_LIST programs_files)
    message(FATAL_ERROR "wlclient lacks ${path}; it holds:\n${programs_files}")
  endif()
endforeach()
foreach(path
    /usr/include/inet/cSocket/CSocket.h /usr/include/inet/cSocket/MSocketSupport.h
    /usr/include/platform/MessageLoop.h
    /usr/${LIBDIR}/libcsocket.a /usr/${LIBDIR}/libcsocket-platform.a
    /usr/${LIBDIR}/cmake/cSocket/cSocketConfig.cmake /usr/${LIBDIR}/pkgconfig/cSocket.pc
    /usr/share/doc/libcsocket-dev/copyright)
  if(NOT path IN_LIST dev_files)
    message(FATAL_ERROR "libcsocket-dev lacks ${path}; it holds:\n${dev_files}")
  endif()
endforeach()
foreach(path IN LISTS programs_files)
  if(path IN_LIST dev_files)
    message(FATAL_ERROR "both packages hold ${path}")
  endif()
  if(path MATCHES "^/usr/(include|lib)/")
    message(FATAL_ERROR "wlclient holds a development file: ${path}")
  endif()
endforeach()
foreach(path IN LISTS dev_files)
  if(path MATCHES "^/usr/bin/|^/usr/share/(man|applications|icons)/")
    message(FATAL_ERROR "libcsocket-dev holds a file of the programs: ${path}")
  endif()
endforeach()

# lintian, where installed: no errors (warnings are allowed).
find_program(LINTIAN lintian)
if(LINTIAN)
  execute_process(COMMAND "${LINTIAN}" --fail-on error "${programs_deb}" "${dev_deb}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  message("lintian:\n${out}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "lintian found errors:\n${out}\n${err}")
  endif()
else()
  message("lintian is not installed; the packages were not linted")
endif()
