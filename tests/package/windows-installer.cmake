# SPDX-License-Identifier: MIT
# The Windows installer, as `cpack -G NSIS` makes it from a release build, tried as
# a user would, under Wine in a prefix of its own: installed silently, it puts the
# programs, the readme, the licence and the notices in the user's own program folder,
# a Start menu entry for wlclient, and its uninstaller under the user's Apps &
# features key, asking for no administrator rights; both programs run from there;
# uninstalled silently, it leaves nothing behind.
# Arguments: -DBUILD_DIR=... -DWORK_DIR=... -DEMULATOR=... -DOBJDUMP=... -DVERSION=...
#            -DSYSTEM=win64|win32 -DSERVES_FROM_WINE=tests/tools/serves-from-wine
include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/windows-programs.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
run(${CMAKE_CPACK_COMMAND} -G NSIS -B ${WORK_DIR} --config ${BUILD_DIR}/CPackConfig.cmake)
set(installer ${WORK_DIR}/wlclient-${VERSION}-${SYSTEM}-setup.exe)
if(NOT EXISTS ${installer})
  file(GLOB made ${WORK_DIR}/*.exe)
  message(FATAL_ERROR "expected ${installer}, cpack made: ${made}")
endif()
# It asks Windows for no elevation.
file(STRINGS ${installer} level REGEX "requestedExecutionLevel")
if(NOT level MATCHES "level=\"asInvoker\"")
  message(FATAL_ERROR "the installer's manifest asks for another level: ${level}")
endif()

can_run(${installer} why)
if(why)
  message("NOT RUN: the installer was made but not tried (${why})")
  return()
endif()

set(prefix ${WORK_DIR}/prefix)
set(ENV{WINEPREFIX} ${prefix})
set(key "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\wlclient")
function(stop_wine)
  execute_process(COMMAND ${EMULATOR} --stop)
endfunction()
function(fail text)
  stop_wine()
  message(FATAL_ERROR "${text}")
endfunction()

execute_process(COMMAND ${EMULATOR} ${installer} /S RESULT_VARIABLE rc
                OUTPUT_FILE ${WORK_DIR}/install.txt ERROR_FILE ${WORK_DIR}/install.txt)
if(NOT rc EQUAL 0)
  file(READ ${WORK_DIR}/install.txt log)
  fail("the installer ended with ${rc}: ${log}")
endif()

# The files, in the user's own program folder.
file(GLOB installed_dir LIST_DIRECTORIES true ${prefix}/drive_c/users/*/AppData/Local/Programs/wlclient)
if(NOT IS_DIRECTORY "${installed_dir}")
  fail("nothing was installed under the user's AppData\\Local\\Programs\\wlclient")
endif()
file(GLOB_RECURSE files RELATIVE ${installed_dir} ${installed_dir}/*)
list(SORT files)
set(expected "LICENSE;NOTICES.txt;README.txt;Uninstall.exe;remote_demo_server.exe;wlclient.exe")
if(NOT files STREQUAL expected)
  fail("installed:\n  ${files}\nexpected\n  ${expected}")
endif()
check_package_texts(${installed_dir})
check_program_resources(${installed_dir}/wlclient.exe)

# The Start menu entry, the user's own, starts wlclient.exe.
file(GLOB shortcut "${prefix}/drive_c/users/*/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/wlclient.lnk")
if(NOT shortcut)
  fail("no Start menu entry wlclient.lnk in the user's Start menu")
endif()
file(STRINGS "${shortcut}" target REGEX "wlclient\\.exe")
file(STRINGS "${shortcut}" wide_target REGEX "wlclient\\.exe" ENCODING UTF-16LE)
if(NOT target AND NOT wide_target)
  fail("the Start menu entry does not point at wlclient.exe")
endif()

# Apps & features: the user's key, with what it lists and how to uninstall.
execute_process(COMMAND ${EMULATOR} reg query ${key} RESULT_VARIABLE rc OUTPUT_VARIABLE values)
foreach(pattern IN ITEMS "DisplayName +REG_SZ +wlclient\r?\n" "DisplayVersion +REG_SZ +${VERSION}\r?\n"
                         "Publisher +REG_SZ +The wlclient developers" "UninstallString +REG_SZ +\"[^\n]*\\\\Uninstall.exe\""
                         "InstallLocation +REG_SZ +[^\n]*\\\\AppData\\\\Local\\\\Programs\\\\wlclient\r?\n"
                         "DisplayIcon +REG_SZ +[^\n]*\\\\wlclient.exe,0")
  if(NOT rc EQUAL 0 OR NOT values MATCHES "${pattern}")
    fail("the uninstall key ${key} lacks '${pattern}' (status ${rc}):\n${values}")
  endif()
endforeach()
string(REPLACE "HKCU" "HKLM" machine_key "${key}")
execute_process(COMMAND ${EMULATOR} reg query ${machine_key} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(rc EQUAL 0)
  fail("the installer wrote the machine's key ${machine_key}")
endif()

# Both programs run from where they were installed; the server serves a Linux reader.
run_program(${installed_dir}/wlclient.exe --version "^wlclient ${VERSION}")
execute_process(COMMAND ${SERVES_FROM_WINE} ${EMULATOR} ${installed_dir}/remote_demo_server.exe
                WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  fail("the installed remote_demo_server.exe did not serve: ${out}")
endif()

# Uninstalling: the uninstaller copies itself to a temporary folder, starts the copy
# and returns at once, so wait (at most a minute) until the copy has done its work.
execute_process(COMMAND ${EMULATOR} ${installed_dir}/Uninstall.exe /S RESULT_VARIABLE rc
                OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 0)
  fail("the uninstaller ended with ${rc}")
endif()
foreach(attempt RANGE 120)
  execute_process(COMMAND ${EMULATOR} reg query ${key} RESULT_VARIABLE key_rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT EXISTS ${installed_dir} AND NOT EXISTS "${shortcut}" AND NOT key_rc EQUAL 0)
    break()
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 0.5)
endforeach()
set(left "")
if(EXISTS ${installed_dir})
  file(GLOB_RECURSE remaining ${installed_dir}/*)
  list(APPEND left "the folder ${installed_dir} (${remaining})")
endif()
if(EXISTS "${shortcut}")
  list(APPEND left "the Start menu entry")
endif()
if(key_rc EQUAL 0)
  list(APPEND left "the key ${key}")
endif()
stop_wine()
if(left)
  message(FATAL_ERROR "after uninstalling, these are left: ${left}")
endif()
message("installed, ran and uninstalled ${installer}")
