# SPDX-License-Identifier: MIT
# Installs the build tree into a fresh prefix and builds the consumer project against
# it through the CMake package, and runs it. A native build's tree is also checked for
# what it holds, and the consumer is built a second time through pkg-config.
# Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR, GENERATOR, FLAGS; for a native build CXX,
# LIBDIR, CLIENT and VERSION; for a cross build TOOLCHAIN (the toolchain file),
# EMULATOR (what runs the program) and SUFFIX (the program file's suffix, .exe).
file(REMOVE_RECURSE "${WORK_DIR}")
include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)
set(prefix "${WORK_DIR}/prefix")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

if(NOT TOOLCHAIN)
  # What a user or another project looks for.
  set(expected
    bin/remote_demo_server
    share/man/man1/remote_demo_server.1.gz
    include/inet/cSocket/CSocket.h
    include/inet/cSocket/MSocketSupport.h
    include/platform/MessageLoop.h
    ${LIBDIR}/libcsocket.a
    ${LIBDIR}/libcsocket-platform.a
    ${LIBDIR}/cmake/cSocket/cSocketConfig.cmake
    ${LIBDIR}/pkgconfig/cSocket.pc)
  if(CLIENT)
    list(APPEND expected
      bin/wlclient
      share/man/man1/wlclient.1.gz
      share/applications/wlclient.desktop
      share/icons/hicolor/scalable/apps/wlclient.svg
      share/icons/hicolor/48x48/apps/wlclient.png)
  endif()
  foreach(path IN LISTS expected)
    if(NOT EXISTS "${prefix}/${path}")
      message(FATAL_ERROR "not installed: ${path}")
    endif()
  endforeach()

  # Every installed header compiles on its own against the installed tree alone (none
  # leans on a header left behind with the sources), and the test seam stays behind.
  if(EXISTS "${prefix}/include/platform/Testing.h")
    message(FATAL_ERROR "the test seam platform/Testing.h is installed")
  endif()
  file(GLOB_RECURSE headers RELATIVE "${prefix}/include" "${prefix}/include/*.h")
  foreach(header IN LISTS headers)
    run("${CXX}" -std=c++20 -fsyntax-only -I "${prefix}/include" -include "${header}" -x c++ /dev/null)
  endforeach()

  # The manual pages format without a single complaint from groff or man.
  file(GLOB pages "${prefix}/share/man/man1/*.1.gz")
  foreach(page IN LISTS pages)
    run(${CMAKE_COMMAND} -E env LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "${page}")
    if(NOT err STREQUAL "" OR NOT out MATCHES "EXIT STATUS.*EXAMPLES")
      message(FATAL_ERROR "${page} formats badly:\n${err}")
    endif()
  endforeach()

  if(CLIENT)
    run(desktop-file-validate "${prefix}/share/applications/wlclient.desktop")
    if(NOT out STREQUAL "" OR NOT err STREQUAL "")
      message(FATAL_ERROR "wlclient.desktop:\n${out}${err}")
    endif()
    # The PNG's header: width and height, 48 each, at bytes 16 to 23.
    file(READ "${prefix}/share/icons/hicolor/48x48/apps/wlclient.png" size OFFSET 16 LIMIT 8 HEX)
    if(NOT size STREQUAL "0000003000000030")
      message(FATAL_ERROR "the 48-pixel icon is not 48 by 48 pixels: ${size}")
    endif()
  endif()

  # Both programs give the project's version, the one the packages and pages carry.
  set(programs remote_demo_server)
  if(CLIENT)
    list(APPEND programs wlclient)
  endif()
  foreach(program IN LISTS programs)
    run("${prefix}/bin/${program}" --version)
    if(NOT out STREQUAL "${program} ${VERSION}\n")
      message(FATAL_ERROR "${program} --version said: ${out}")
    endif()
  endforeach()
endif()

# Through the CMake package.
set(cross "")
if(TOOLCHAIN)
  set(cross "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}")
endif()
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR}" ${cross}
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS_INIT=${FLAGS}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run(${EMULATOR} "${WORK_DIR}/build/consumer${SUFFIX}")
if(TOOLCHAIN)
  return()
endif()

# Through pkg-config, as a Makefile would: one compile-and-link line.
set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
run(pkg-config --modversion cSocket)
if(NOT out STREQUAL "${VERSION}\n")
  message(FATAL_ERROR "pkg-config reports version ${out}")
endif()
run(pkg-config --cflags --libs cSocket)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
separate_arguments(extra UNIX_COMMAND "${FLAGS}")
run("${CXX}" -std=c++20 ${extra} "${SOURCE_DIR}/consumer.cpp" -o "${WORK_DIR}/consumer-pc" ${pc_flags})
run("${WORK_DIR}/consumer-pc")
