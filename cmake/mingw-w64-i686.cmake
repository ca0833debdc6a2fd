# SPDX-License-Identifier: MIT
# Cross build for 32-bit Windows with Debian's MinGW-w64 (cmake/mingw-w64-common.cmake);
# its tests need 32-bit Wine (Debian's wine32, from its i386 side).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(mingw_triplet i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
