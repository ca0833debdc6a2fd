# Windows resources of a program, compiled by windres from a resource script written
# at configure time: for now the manifest (cmake/windows/app.manifest), which tells
# Windows that the program draws itself at each monitor's DPI and uses the current
# common controls.
#
#   csocket_windows_resources(<target>)
set(CSOCKET_WINDOWS_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/windows/app.manifest)

function(csocket_windows_resources target)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT
"// Written by cmake/WindowsResources.cmake.
1 24 \"${CSOCKET_WINDOWS_MANIFEST}\"
")
  target_sources(${target} PRIVATE ${rc})
  set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${CSOCKET_WINDOWS_MANIFEST})
endfunction()
