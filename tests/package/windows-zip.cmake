# SPDX-License-Identifier: MIT
# The Windows zip, as `cpack -G ZIP` makes it from a release build: named for its
# version and word size, it holds the two programs, the readme, the licence and the
# notices and nothing else; the programs are the release build's (stripped, for the
# right machine) and carry their icon, version information and manifest; and they
# run from the unpacked folder.
# Arguments: -DBUILD_DIR=... -DWORK_DIR=... -DEMULATOR=... -DOBJDUMP=... -DVERSION=... -DSYSTEM=win64|win32
include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/windows-programs.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(${CMAKE_CPACK_COMMAND} -G ZIP -B ${WORK_DIR} --config ${BUILD_DIR}/CPackConfig.cmake)
file(GLOB zips RELATIVE ${WORK_DIR} ${WORK_DIR}/*.zip)
set(top wlclient-${VERSION}-${SYSTEM})
if(NOT zips STREQUAL "${top}.zip")
  message(FATAL_ERROR "expected ${top}.zip in ${WORK_DIR}, found: ${zips}")
endif()

set(unpacked ${WORK_DIR}/unpacked)
file(MAKE_DIRECTORY ${unpacked})
run(${CMAKE_COMMAND} -E chdir ${unpacked} ${CMAKE_COMMAND} -E tar xf ${WORK_DIR}/${top}.zip)
file(GLOB_RECURSE files RELATIVE ${unpacked} ${unpacked}/*)
list(SORT files)
set(expected "${top}/LICENSE;${top}/NOTICES.txt;${top}/README.txt;${top}/remote_demo_server.exe;${top}/wlclient.exe")
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "the zip holds\n  ${files}\nexpected\n  ${expected}")
endif()

check_package_texts(${unpacked}/${top})
check_program_resources(${unpacked}/${top}/wlclient.exe)
check_program_resources(${unpacked}/${top}/remote_demo_server.exe)

# The programs stand alone: run from the unpacked folder, they answer.
can_run(${unpacked}/${top}/wlclient.exe why)
if(why)
  message("NOT RUN: the programs in the zip were not started (${why}); all else was checked")
  return()
endif()
run_program(${unpacked}/${top}/wlclient.exe --version "^wlclient ${VERSION}")
run_program(${unpacked}/${top}/remote_demo_server.exe --help "--port N")
