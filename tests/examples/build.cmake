# SPDX-License-Identifier: MIT
# Installs the build tree into a fresh prefix and builds, through the CMake package
# and with warnings as errors, the example programs that it installed
# (share/doc/cSocket/examples) and the whole programs of README.md and
# docs/guide.md: a ```cpp block that has a main starts with a comment that names it
# (// minimal_client.cpp: ...) and is built as WORK_DIR/docs/build/NAME.
#
# With DOCS, it also builds each example through pkg-config, as a Makefile would,
# and holds every other ```cpp block of the two documents to the sources: each is a
# piece of an example or of one of the files in PIECE_SOURCES (comma-separated),
# word for word but for indentation and blank lines. A line "// ..." in a block
# stands for code left out: each part is then found on its own.
#
# Arguments: BUILD_DIR, WORK_DIR, SOURCE_DIR (the project), GENERATOR, FLAGS
# (sanitizers); natively CXX and LIBDIR, and DOCS; for a cross build TOOLCHAIN.
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE "${WORK_DIR}")
include(${CMAKE_CURRENT_LIST_DIR}/../package/Run.cmake)
set(warnings "-Wall -Wextra -Wpedantic -Werror")
set(prefix "${WORK_DIR}/prefix")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
set(examples "${prefix}/share/doc/cSocket/examples")

set(cross "")
if(TOOLCHAIN)
  set(cross "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}")
endif()
run(${CMAKE_COMMAND} -S "${examples}" -B "${WORK_DIR}/build" -G "${GENERATOR}" ${cross}
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_FLAGS=${FLAGS} ${warnings}" "-DCMAKE_EXE_LINKER_FLAGS_INIT=${FLAGS}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
file(GLOB sources "${examples}/*.cpp")

# The code of the documents.
function(normalized text var)  # without indentation, trailing blanks and blank lines
  string(REGEX REPLACE "[ \t]+\n" "\n" text "\n${text}\n")
  string(REGEX REPLACE "\n[ \t]+" "\n" text "${text}")
  string(REGEX REPLACE "\n\n+" "\n" text "${text}")
  set(${var} "${text}" PARENT_SCOPE)
endfunction()
string(REPLACE "," ";" PIECE_SOURCES "${PIECE_SOURCES}")
set(pieces_from ${sources} ${PIECE_SOURCES})
foreach(source IN LISTS pieces_from)
  file(READ "${source}" text)
  string(MD5 key "${source}")
  normalized("${text}" normalized_${key})
endforeach()
set(gap "@@left out@@")
set(fence "```")
file(MAKE_DIRECTORY "${WORK_DIR}/docs")
foreach(document README.md docs/guide.md)
  file(READ "${SOURCE_DIR}/${document}" rest)
  set(blocks 0)
  while(TRUE)
    string(FIND "${rest}" "\n${fence}cpp\n" start)
    if(start EQUAL -1)
      break()
    endif()
    math(EXPR start "${start} + 8")
    string(SUBSTRING "${rest}" ${start} -1 rest)
    string(FIND "${rest}" "\n${fence}" end)
    math(EXPR end "${end} + 1")
    string(SUBSTRING "${rest}" 0 ${end} block)
    string(SUBSTRING "${rest}" ${end} -1 rest)
    math(EXPR blocks "${blocks} + 1")
    if(block MATCHES "\nint main\\(")
      if(NOT block MATCHES "^// ([a-z_]+)\\.cpp")
        message(FATAL_ERROR "${document}, block ${blocks}: a whole program starts with // NAME.cpp")
      endif()
      file(WRITE "${WORK_DIR}/docs/${CMAKE_MATCH_1}.cpp" "${block}")
      continue()
    endif()
    if(NOT DOCS)
      continue()
    endif()
    # A piece: each part between "// ..." lines word for word in one source.
    string(REGEX REPLACE "\n[ \t]*// \\.\\.\\.[ \t]*\n" "\n${gap}\n" marked "\n${block}")
    set(found "")
    foreach(source IN LISTS pieces_from)
      string(MD5 key "${source}")
      set(left "${marked}")
      set(all TRUE)
      while(all)
        string(FIND "${left}" "${gap}" cut)
        if(cut EQUAL -1)
          set(part "${left}")
        else()
          string(SUBSTRING "${left}" 0 ${cut} part)
          string(LENGTH "${gap}" skip)
          math(EXPR cut "${cut} + ${skip}")
          string(SUBSTRING "${left}" ${cut} -1 left)
        endif()
        normalized("${part}" part)
        string(FIND "${normalized_${key}}" "${part}" at)
        if(at EQUAL -1)
          set(all FALSE)
        elseif(cut EQUAL -1)
          break()
        endif()
      endwhile()
      if(all)
        set(found "${source}")
        break()
      endif()
    endforeach()
    if(NOT found)
      message(FATAL_ERROR "${document}, block ${blocks}: not found word for word in an example or in "
                          "${PIECE_SOURCES}:\n${block}")
    endif()
  endwhile()
  message("${document}: ${blocks} blocks of C++")
endforeach()

# The whole programs, as another project would build them.
file(WRITE "${WORK_DIR}/docs/CMakeLists.txt" [=[
cmake_minimum_required(VERSION 3.25)
project(csocket_documents CXX)
set(CMAKE_CXX_STANDARD 20)
find_package(cSocket CONFIG REQUIRED)
file(GLOB programs *.cpp)
foreach(source IN LISTS programs)
  get_filename_component(name "${source}" NAME_WE)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE cSocket::csocket)
endforeach()
]=])
run(${CMAKE_COMMAND} -S "${WORK_DIR}/docs" -B "${WORK_DIR}/docs/build" -G "${GENERATOR}" ${cross}
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_FLAGS=${FLAGS} ${warnings}" "-DCMAKE_EXE_LINKER_FLAGS_INIT=${FLAGS}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/docs/build")
if(TOOLCHAIN OR NOT DOCS)
  return()
endif()

# Through pkg-config: one compile-and-link line a program.
set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
run(pkg-config --cflags --libs cSocket)
separate_arguments(pc_flags UNIX_COMMAND "${out}")
separate_arguments(cxx_flags UNIX_COMMAND "-std=c++20 ${FLAGS} ${warnings}")
file(MAKE_DIRECTORY "${WORK_DIR}/pkg-config")
foreach(source IN LISTS sources)
  get_filename_component(name "${source}" NAME_WE)
  run("${CXX}" ${cxx_flags} "${source}" -o "${WORK_DIR}/pkg-config/${name}" ${pc_flags})
endforeach()
