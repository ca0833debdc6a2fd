# The Windows zip, made in the Windows build with `cpack -G ZIP`: the two programs
# and a short readme (CR LF line ends, for Notepad), nothing of the library.
set(windows_readme ${CMAKE_CURRENT_BINARY_DIR}/README.txt)
set(CSOCKET_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/README.txt ${windows_readme} @ONLY NEWLINE_STYLE WIN32)
install(FILES ${windows_readme} DESTINATION . COMPONENT programs)

set(CPACK_PACKAGE_NAME wlclient)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES ON)
# Only the programs and the readme (the install component "programs").
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};programs;/")
include(CPack)
