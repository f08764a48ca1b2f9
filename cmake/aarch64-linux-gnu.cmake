# SPDX-License-Identifier: GPL-3.0-or-later
# Cross build for arm64 Debian (a Raspberry Pi, or any arm64 desktop): Debian's cross compiler
# and the :arm64 libraries of a multiarch system, with the host's own Qt tools (moc, rcc).
# Test binaries run under user-mode emulation. The cross-arm64 preset uses this file.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Multiarch keeps the arm64 libraries beside the host's, under /usr/lib/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(QT_HOST_PATH /usr CACHE PATH "Where the host's Qt tools are")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
