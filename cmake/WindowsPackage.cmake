# SPDX-License-Identifier: MIT
# The Windows packages, made in a Windows build with `cpack` (the release presets,
# windows-release and windows32-release, are the ones shipped):
#   wlclient-<version>-win64.zip (or -win32.zip)       `cpack -G ZIP`
#   wlclient-<version>-win64-setup.exe (or -win32-)    `cpack -G NSIS`, a per-user installer
# Both hold the two programs, a readme for Windows users, the licence (LICENSE) and
# the notices of what the static programs carry of the compiler's runtime
# (NOTICES.txt); nothing of the library. Text files have CR LF line ends, for Notepad.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(windows_system win64)
  set(windows_bits 64)
  set(mingw_dev_package mingw-w64-x86-64-dev)
  set(nsis_target amd64-unicode)  # a 64-bit installer: it refuses 32-bit Windows, as the programs would
else()
  set(windows_system win32)
  set(windows_bits 32)
  set(mingw_dev_package mingw-w64-i686-dev)
  set(nsis_target x86-unicode)
endif()

# A text file with CR LF line ends: windows_text(<source> <destination> [@ONLY variables]).
function(windows_text source destination)
  file(READ ${source} text)
  if(ARGN)
    string(CONFIGURE "${text}" text @ONLY)
  endif()
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${destination}.new "${text}")
  file(COPY_FILE ${destination}.new ${destination} ONLY_IF_DIFFERENT)
  file(REMOVE ${destination}.new)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()

set(windows_package_dir ${CMAKE_BINARY_DIR}/windows-package)
set(CSOCKET_VERSION ${PROJECT_VERSION})
set(CSOCKET_WINDOWS_BITS ${windows_bits})
windows_text(${CMAKE_CURRENT_LIST_DIR}/windows/README.txt ${windows_package_dir}/README.txt @ONLY)
windows_text(${PROJECT_SOURCE_DIR}/LICENSE ${windows_package_dir}/LICENSE)

# The notices, from the copyright files that Debian's packages of this very
# toolchain carry: the programs are linked statically, so they hold parts of
# libstdc++ and libgcc (GPL-3 with the GCC Runtime Library Exception 3.1), of the
# MinGW-w64 runtime (mostly ZPL-2.1 and public domain) and of winpthreads (MIT).
find_file(MINGW_W64_COPYRIGHT copyright PATHS /usr/share/doc/${mingw_dev_package} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_file(GCC_MINGW_W64_COPYRIGHT copyright PATHS /usr/share/doc/gcc-mingw-w64-base NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_file(GPL3_TEXT GPL-3 PATHS /usr/share/common-licenses NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(CSOCKET_GCC_VERSION ${CMAKE_CXX_COMPILER_VERSION})
set(CSOCKET_MINGW_W64_PACKAGE ${mingw_dev_package})
file(READ ${CMAKE_CURRENT_LIST_DIR}/windows/NOTICES.txt.in notices)
string(CONFIGURE "${notices}" notices @ONLY)
file(READ ${MINGW_W64_COPYRIGHT} mingw_copyright)
file(READ ${GCC_MINGW_W64_COPYRIGHT} gcc_copyright)
file(READ ${GPL3_TEXT} gpl3)
set(rule "================================================================================")
string(APPEND notices "\n${rule}\n3. MinGW-w64: the runtime and winpthreads\n${rule}\n\n${mingw_copyright}"
                      "\n${rule}\n4. GCC: libstdc++, libgcc and the GCC Runtime Library Exception\n${rule}\n\n${gcc_copyright}"
                      "\n${rule}\n5. The GNU General Public License, version 3\n${rule}\n\n${gpl3}")
file(WRITE ${windows_package_dir}/NOTICES.txt.in "${notices}")
windows_text(${windows_package_dir}/NOTICES.txt.in ${windows_package_dir}/NOTICES.txt)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${MINGW_W64_COPYRIGHT} ${GCC_MINGW_W64_COPYRIGHT} ${GPL3_TEXT})

install(FILES ${windows_package_dir}/README.txt ${windows_package_dir}/LICENSE ${windows_package_dir}/NOTICES.txt
        DESTINATION . COMPONENT programs)

set(CPACK_PACKAGE_NAME wlclient)
set(CPACK_PACKAGE_VENDOR "The wlclient developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME ${windows_system})
set(CPACK_GENERATOR ZIP NSIS)
set(CPACK_STRIP_FILES ON)
# Only the programs and what comes with them (the install component "programs").
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};programs;/")
# The installer's name says what it is: wlclient-<version>-win64-setup.exe.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/windows/CPackOptions.cmake)

# The installer (cmake/windows/NSIS.template.in): per user, no administrator rights.
set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/windows)
set(CPACK_WLCLIENT_NSIS_TARGET ${nsis_target})
set(CPACK_WLCLIENT_COPYRIGHT "${CSOCKET_WINDOWS_COPYRIGHT}")
set(CPACK_NSIS_PACKAGE_NAME "wlclient ${PROJECT_VERSION}")
set(CPACK_NSIS_DISPLAY_NAME wlclient)
set(CPACK_PACKAGE_INSTALL_DIRECTORY wlclient)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY wlclient)
set(CPACK_NSIS_UNINSTALL_NAME Uninstall)
set(CPACK_NSIS_MUI_ICON ${CSOCKET_WINDOWS_ICON})
set(CPACK_NSIS_MUI_UNIICON ${CSOCKET_WINDOWS_ICON})
set(CPACK_RESOURCE_FILE_LICENSE ${windows_package_dir}/LICENSE)
include(CPack)

# The packages' own tests (the release presets run them): what each holds, the
# programs' resources, and the installer's install, run and uninstall under Wine.
if(CSOCKET_PACKAGE_TESTS)
  set(package_tests ${PROJECT_SOURCE_DIR}/tests/package)
  set(test_arguments -DBUILD_DIR=${PROJECT_BINARY_DIR} -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}
                     -DOBJDUMP=${CMAKE_OBJDUMP} -DVERSION=${PROJECT_VERSION} -DSYSTEM=${windows_system})
  add_test(NAME WindowsPackage.ZipHoldsTheProgramsReadmeLicenceAndNotices
    COMMAND ${CMAKE_COMMAND} ${test_arguments} -DWORK_DIR=${CMAKE_BINARY_DIR}/package-tests/zip
            -P ${package_tests}/windows-zip.cmake)
  add_test(NAME WindowsPackage.InstallerInstallsRunsAndUninstallsForTheUser
    COMMAND ${CMAKE_COMMAND} ${test_arguments} -DWORK_DIR=${CMAKE_BINARY_DIR}/package-tests/installer
            -DSERVES_FROM_WINE=${PROJECT_SOURCE_DIR}/tests/tools/serves-from-wine
            -P ${package_tests}/windows-installer.cmake)
  # A machine that cannot run the programs (32-bit ones where the kernel has no
  # 32-bit support) checks what it can and says that the rest did not run.
  set_tests_properties(WindowsPackage.ZipHoldsTheProgramsReadmeLicenceAndNotices
                       WindowsPackage.InstallerInstallsRunsAndUninstallsForTheUser
    PROPERTIES TIMEOUT 600 LABELS package SKIP_REGULAR_EXPRESSION "NOT RUN: ")
endif()
