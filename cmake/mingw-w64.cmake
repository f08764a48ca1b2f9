# SPDX-License-Identifier: GPL-3.0-or-later
# Debian's mingw-w64 for 64-bit Windows, with the POSIX thread model that Qt's threads need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TESSALINE_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSALINE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSALINE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSALINE_MINGW}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TESSALINE_MINGW})
# Programs from the build machine, libraries and headers for Windows only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
