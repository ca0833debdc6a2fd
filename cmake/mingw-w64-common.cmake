# SPDX-License-Identifier: MIT
# What the MinGW-w64 cross builds share, for the target triplet in `mingw_triplet`
# (set by cmake/mingw-w64-x86_64.cmake and cmake/mingw-w64-i686.cmake): Debian's
# compilers of the posix thread model, so that std::thread and std::mutex work;
# programs linked statically, so that each .exe stands alone, with no libstdc++ or
# winpthread DLLs to copy along; and the tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages installed anywhere (CMAKE_PREFIX_PATH), such as this project's own cSocket.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# ctest runs the .exe files under Wine, in a private prefix of the build folder
# (cmake/wine-run explains: it picks Wine's 32-bit or 64-bit loader by the program);
# a project of its own may set another emulator.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run")
endif()
