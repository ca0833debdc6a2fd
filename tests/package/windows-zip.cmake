# The Windows zip, as `cpack -G ZIP` makes it from the Windows build: it holds the
# two programs and the readme and nothing else, and the programs it holds run.
# Arguments: -DBUILD_DIR=... -DWORK_DIR=... -DEMULATOR=... (runs an .exe; may be empty)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP -B ${WORK_DIR} --config ${BUILD_DIR}/CPackConfig.cmake
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${output}")
endif()
file(GLOB zips ${WORK_DIR}/*.zip)
list(LENGTH zips count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one zip in ${WORK_DIR}, found: ${zips}")
endif()

set(unpacked ${WORK_DIR}/unpacked)
file(MAKE_DIRECTORY ${unpacked})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zips} WORKING_DIRECTORY ${unpacked} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot unpack ${zips}")
endif()
file(GLOB_RECURSE files RELATIVE ${unpacked} ${unpacked}/*)
list(SORT files)
get_filename_component(top ${zips} NAME_WLE)
set(expected "${top}/README.txt;${top}/remote_demo_server.exe;${top}/wlclient.exe")
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "the zip holds\n  ${files}\nexpected\n  ${expected}")
endif()

file(READ ${unpacked}/${top}/README.txt readme)
file(READ ${unpacked}/${top}/README.txt readme_bytes HEX)
string(REGEX REPLACE "(..)" "\\1;" readme_bytes "${readme_bytes}")  # one byte per item
string(REPLACE "0d;0a;" "" without_crlf "${readme_bytes}")
if(NOT readme_bytes MATCHES "0d;0a;" OR without_crlf MATCHES "(^|;)0a;" OR NOT readme MATCHES "wlclient.exe"
   OR NOT readme MATCHES "remote_demo_server.exe")
  message(FATAL_ERROR "the readme is not the expected one (CR LF lines naming both programs):\n${readme}")
endif()

# The programs stand alone: run from the unpacked folder, they answer. (Into files:
# a Wine server that stays for the next program would hold a pipe open.)
function(run_program program argument pattern)
  execute_process(COMMAND ${EMULATOR} ${unpacked}/${top}/${program} ${argument} RESULT_VARIABLE result
                  OUTPUT_FILE ${WORK_DIR}/out.txt ERROR_FILE ${WORK_DIR}/err.txt)
  file(READ ${WORK_DIR}/out.txt output)
  if(NOT result EQUAL 0 OR NOT output MATCHES "${pattern}")
    file(READ ${WORK_DIR}/err.txt errors)
    message(FATAL_ERROR "${program} ${argument}: status ${result}, output '${output}' ${errors}")
  endif()
endfunction()
run_program(wlclient.exe --version "^wlclient [0-9]+\\.[0-9]+\\.[0-9]+")
run_program(remote_demo_server.exe --help "--port N")
