# SPDX-License-Identifier: MIT
# What the Windows package tests check of the programs and texts they ship.
# Needs EMULATOR, OBJDUMP, VERSION, SYSTEM and WORK_DIR.

# The readme, the licence and the notices: CR LF text, each with what it is for.
function(check_package_texts dir)
  foreach(name_patterns IN ITEMS
      "README.txt|wlclient.exe|remote_demo_server.exe|WinLIRC|8765|--version|--reconnect|LICENSE"
      "LICENSE|MIT License|The wlclient developers"
      "NOTICES.txt|winpthreads|GCC RUNTIME LIBRARY EXCEPTION|Files: mingw-w64-libraries/winpthreads|ZPL-2.1|GNU GENERAL PUBLIC LICENSE")
    string(REPLACE "|" ";" patterns "${name_patterns}")
    list(POP_FRONT patterns name)
    file(READ ${dir}/${name} text)  # (file(READ) drops the CRs: the line ends are read as bytes)
    file(READ ${dir}/${name} bytes HEX)
    string(REGEX REPLACE "(..)" "\\1;" bytes "${bytes}")  # one byte per item
    string(REPLACE "0d;0a;" "" without_crlf "${bytes}")
    if(NOT bytes MATCHES "0d;0a;" OR without_crlf MATCHES "(^|;)0a;")
      message(FATAL_ERROR "${name} does not have CR LF line ends throughout")
    endif()
    foreach(pattern IN LISTS patterns)
      string(FIND "${text}" "${pattern}" at)
      if(at EQUAL -1)
        message(FATAL_ERROR "${name} does not mention '${pattern}':\n${text}")
      endif()
    endforeach()
  endforeach()
endfunction()

# A shipped program: built for the package's machine, stripped, and carrying its
# resources: the icon (one group of four images), the version information and the
# manifest.
function(check_program_resources exe)
  get_filename_component(name ${exe} NAME)
  execute_process(COMMAND ${OBJDUMP} -p ${exe} RESULT_VARIABLE rc OUTPUT_VARIABLE headers ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${exe}: ${err}")
  endif()
  if(SYSTEM STREQUAL "win64")
    set(format "pei-x86-64")
  else()
    set(format "pei-i386")
  endif()
  if(NOT headers MATCHES "file format ${format}")
    message(FATAL_ERROR "${name} is not ${format}:\n${headers}")
  endif()
  # The resource directory's type table: 3 RT_ICON (four images), 0xe RT_GROUP_ICON,
  # 0x10 RT_VERSION, 0x18 RT_MANIFEST.
  string(REGEX MATCH "The .rsrc Resource Directory section:.*" resources "${headers}")
  foreach(type_count IN ITEMS "000003;4" "00000e;1" "000010;1" "000018;1")
    list(GET type_count 0 type)
    list(GET type_count 1 count)
    if(NOT resources MATCHES "Entry: ID: 0x${type}, Value: 0x[0-9a-f]+\n[^\n]*Name Table: [^\n]*IDs: ${count}\n")
      message(FATAL_ERROR "${name} lacks resources of type 0x${type} (${count} expected):\n${resources}")
    endif()
  endforeach()
  execute_process(COMMAND ${OBJDUMP} -h -t ${exe} OUTPUT_VARIABLE sections)
  if(sections MATCHES "\\.debug_" OR NOT sections MATCHES "no symbols")
    message(FATAL_ERROR "${name} is not stripped:\n${sections}")
  endif()
  # The version information reads back as the project's.
  # (Plain texts only: stray brackets in the binary's other bytes would upset the list.)
  file(STRINGS ${exe} wide ENCODING UTF-16LE REGEX "^[A-Za-z0-9 .,()_-]+$")
  foreach(expected IN ITEMS "ProductName;wlclient" "ProductVersion;${VERSION}" "FileVersion;${VERSION}"
                            "OriginalFilename;${name}" "LegalCopyright;Copyright \\(c\\) 2026 The wlclient developers\\. MIT licence\\.")
    list(GET expected 0 key)
    list(GET expected 1 value)
    list(FIND wide "${key}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${name}'s version information has no ${key}")
    endif()
    math(EXPR at "${at} + 1")
    list(GET wide ${at} actual)
    if(NOT actual MATCHES "^${value}$")
      message(FATAL_ERROR "${name}'s ${key} is '${actual}', expected '${value}'")
    endif()
  endforeach()
  file(STRINGS ${exe} manifest REGEX "PerMonitorV2|Microsoft.Windows.Common-Controls|asInvoker")
  list(LENGTH manifest lines)
  if(NOT lines EQUAL 3)
    message(FATAL_ERROR "${name}'s manifest is not the expected one: ${manifest}")
  endif()
endfunction()

# Whether the emulator can start a program on this machine: `why` is empty if so,
# else the reason.
function(can_run exe why)
  execute_process(COMMAND ${EMULATOR} --can-run ${exe} RESULT_VARIABLE rc ERROR_VARIABLE err
                  ERROR_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0)
    set(${why} "" PARENT_SCOPE)
  elseif(rc EQUAL 3)
    set(${why} "${err}" PARENT_SCOPE)
  else()
    message(FATAL_ERROR "${EMULATOR} --can-run ${exe}: status ${rc} ${err}")
  endif()
endfunction()

# Runs a program with one argument: status 0 and output matching the pattern.
# (Into files: a Wine server that stays for the next program would hold a pipe open.)
function(run_program exe argument pattern)
  execute_process(COMMAND ${EMULATOR} ${exe} ${argument} RESULT_VARIABLE rc
                  OUTPUT_FILE ${WORK_DIR}/out.txt ERROR_FILE ${WORK_DIR}/err.txt)
  file(READ ${WORK_DIR}/out.txt output)
  if(NOT rc EQUAL 0 OR NOT output MATCHES "${pattern}")
    file(READ ${WORK_DIR}/err.txt errors)
    message(FATAL_ERROR "${exe} ${argument}: status ${rc}, output '${output}' ${errors}")
  endif()
endfunction()
