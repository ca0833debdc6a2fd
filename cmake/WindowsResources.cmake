# SPDX-License-Identifier: MIT
# Windows resources of a program, compiled by windres from a resource script
# written for it here:
#   - icon 1, the program's icon, rendered at build time from data/wlclient.svg at
#     16, 32, 48 and 256 pixels (as the Linux PNG is); Explorer and the taskbar show
#     it, and the window's class loads it by that number;
#   - VERSIONINFO: product name, version (the project's), description, copyright and
#     original file name, as Explorer's Properties, Details shows them;
#   - the manifest (cmake/windows/app.manifest): the Windows versions the program
#     was written for, that it draws itself at each monitor's DPI, that its controls
#     are the current common controls, and that it needs no administrator rights.
#
#   csocket_windows_resources(<target> [DESCRIPTION <text>])
#
# The description is also the target's property CSOCKET_FILE_DESCRIPTION, read when
# the build is generated, so it may be set after the call; without one, the file
# describes itself by the program's name.
set(CSOCKET_WINDOWS_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/windows/app.manifest)
set(CSOCKET_WINDOWS_PRODUCT wlclient)
set(CSOCKET_WINDOWS_COPYRIGHT "Copyright (c) 2026 The wlclient developers. MIT licence.")

# The icon, once for every program.
find_program(RSVG_CONVERT rsvg-convert REQUIRED)
find_program(IMAGEMAGICK_CONVERT convert REQUIRED)
set(CSOCKET_WINDOWS_ICON ${CMAKE_BINARY_DIR}/windows-icon/wlclient.ico)
set(icon_svg ${PROJECT_SOURCE_DIR}/data/wlclient.svg)
set(icon_pngs "")
set(icon_commands "")
foreach(size IN ITEMS 16 32 48 256)
  set(png ${CMAKE_BINARY_DIR}/windows-icon/${size}.png)
  list(APPEND icon_pngs ${png})
  list(APPEND icon_commands COMMAND ${RSVG_CONVERT} --width ${size} --height ${size} --output ${png} ${icon_svg})
endforeach()
add_custom_command(OUTPUT ${CSOCKET_WINDOWS_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/windows-icon
  ${icon_commands}
  COMMAND ${IMAGEMAGICK_CONVERT} ${icon_pngs} ${CSOCKET_WINDOWS_ICON}
  DEPENDS ${icon_svg}
  COMMENT "Rendering the Windows icon (16, 32, 48 and 256 pixels)"
  VERBATIM)
add_custom_target(windows_icon DEPENDS ${CSOCKET_WINDOWS_ICON})

function(csocket_windows_resources target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION" "")
  if(DEFINED arg_DESCRIPTION)
    set_property(TARGET ${target} PROPERTY CSOCKET_FILE_DESCRIPTION "${arg_DESCRIPTION}")
  endif()
  set(description "$<TARGET_PROPERTY:${target},CSOCKET_FILE_DESCRIPTION>")
  set(description "$<IF:$<BOOL:${description}>,${description},$<TARGET_FILE_BASE_NAME:${target}>>")
  set(flags 0)
  if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    set(flags 1)  # VS_FF_DEBUG
  endif()
  set(version "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  # Numbers rather than the names of <winver.h>, so that the script needs no headers:
  # 24 is RT_MANIFEST, 0x40004 VOS_NT_WINDOWS32, 1 VFT_APP; 0x409 and 1200 say
  # U.S. English in Unicode.
  file(GENERATE OUTPUT ${rc} CONTENT
"// Written by cmake/WindowsResources.cmake.
1 ICON \"${CSOCKET_WINDOWS_ICON}\"
1 24 \"${CSOCKET_WINDOWS_MANIFEST}\"
1 VERSIONINFO
FILEVERSION ${version}
PRODUCTVERSION ${version}
FILEFLAGSMASK 0x3f
FILEFLAGS ${flags}
FILEOS 0x40004
FILETYPE 1
FILESUBTYPE 0
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"040904b0\"
    BEGIN
      VALUE \"CompanyName\", \"The wlclient developers\"
      VALUE \"FileDescription\", \"${description}\"
      VALUE \"FileVersion\", \"${PROJECT_VERSION}\"
      VALUE \"InternalName\", \"$<TARGET_FILE_BASE_NAME:${target}>\"
      VALUE \"LegalCopyright\", \"${CSOCKET_WINDOWS_COPYRIGHT}\"
      VALUE \"OriginalFilename\", \"$<TARGET_FILE_NAME:${target}>\"
      VALUE \"ProductName\", \"${CSOCKET_WINDOWS_PRODUCT}\"
      VALUE \"ProductVersion\", \"${PROJECT_VERSION}\"
    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x409, 1200
  END
END
")
  target_sources(${target} PRIVATE ${rc})
  set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${CSOCKET_WINDOWS_MANIFEST} ${CSOCKET_WINDOWS_ICON})
  add_dependencies(${target} windows_icon)
endfunction()
