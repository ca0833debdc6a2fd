# Installs the build tree into a fresh prefix, builds the consumer project against
# it and runs it. Arguments: BUILD_DIR, SOURCE_DIR, WORK_DIR, GENERATOR, FLAGS, and
# for a cross build TOOLCHAIN (the toolchain file), EMULATOR (what runs the program)
# and SUFFIX (the program file's suffix, .exe).
file(REMOVE_RECURSE "${WORK_DIR}")
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
endfunction()
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
set(cross "")
if(TOOLCHAIN)
  set(cross "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}")
endif()
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR}" ${cross}
    "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix" "-DCMAKE_CXX_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS_INIT=${FLAGS}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run(${EMULATOR} "${WORK_DIR}/build/consumer${SUFFIX}")
