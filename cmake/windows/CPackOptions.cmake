# SPDX-License-Identifier: MIT
# Read by cpack for each generator: the installer is named as one,
# wlclient-<version>-win64-setup.exe, apart from the programs it installs.
if(CPACK_GENERATOR STREQUAL "NSIS")
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_FILE_NAME}-setup")
endif()
