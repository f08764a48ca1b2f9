# SPDX-License-Identifier: GPL-3.0-or-later
# tessaline.exe's Windows resource: its icon, made at build time from the window's own PNG icon
# (so there is one picture to keep), and its version information from the project's version.
# The icon also goes to the installer, which package.sh takes from the build folder.
enable_language(RC)
find_program(TESSALINE_ICOTOOL icotool REQUIRED DOC "icotool from icoutils, which makes the .ico")

set(TESSALINE_ICON ${CMAKE_BINARY_DIR}/tessaline.ico)
# 32 bits: the PNG's alpha edge, not a one-bit mask.
add_custom_command(
  OUTPUT ${TESSALINE_ICON}
  COMMAND ${TESSALINE_ICOTOOL} -c -b 32 -o ${TESSALINE_ICON} ${PROJECT_SOURCE_DIR}/ui/icons/varlin.png
  DEPENDS ${PROJECT_SOURCE_DIR}/ui/icons/varlin.png
  COMMENT "Making tessaline.ico"
  VERBATIM)

# VERSIONINFO takes four 16-bit numbers; the project's version gives two or three of them.
set(words ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH}
          ${PROJECT_VERSION_TWEAK})
set(TESSALINE_VERSION_WORDS "")
foreach(word IN LISTS words)
  if(word STREQUAL "")
    set(word 0)
  endif()
  list(APPEND TESSALINE_VERSION_WORDS ${word})
endforeach()
list(LENGTH TESSALINE_VERSION_WORDS count)
while(count LESS 4)
  list(APPEND TESSALINE_VERSION_WORDS 0)
  math(EXPR count "${count} + 1")
endwhile()
list(JOIN TESSALINE_VERSION_WORDS "," TESSALINE_VERSION_WORDS)
# The year of the copyright notice in packaging/copyright, so the two say the same.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/copyright copyright_line REGEX "^Copyright: [0-9]+" LIMIT_COUNT 1)
string(REGEX MATCH "[0-9]+" TESSALINE_COPYRIGHT_YEAR "${copyright_line}")

configure_file(${CMAKE_CURRENT_LIST_DIR}/tessaline.rc.in ${CMAKE_BINARY_DIR}/tessaline.rc @ONLY)
target_sources(tessaline PRIVATE ${CMAKE_BINARY_DIR}/tessaline.rc ${TESSALINE_ICON})
# windres reads the icon, which CMake's scan of the .rc does not see.
set_source_files_properties(${CMAKE_BINARY_DIR}/tessaline.rc PROPERTIES OBJECT_DEPENDS ${TESSALINE_ICON})
