# Cross-compiles for Linux on aarch64 with Debian's cross compiler
# (gcc-aarch64-linux-gnu, g++-aarch64-linux-gnu). The environment names a
# folder that holds Debian's arm64 packages of the interpreter and its
# dependencies unpacked (AARCH64_SYSROOT), the root of the target: the C
# library, the interpreter's headers and pyconfig.h come from there. The
# build's scripts run on the build machine's interpreter, which must be of
# the same minor version as those headers; the programs built run under
# qemu-aarch64 (qemu-user) with that folder as their root.
if(NOT IS_DIRECTORY "$ENV{AARCH64_SYSROOT}/usr/include")
  message(FATAL_ERROR "AARCH64_SYSROOT names no folder of unpacked arm64 packages")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_SYSROOT "$ENV{AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L "$ENV{AARCH64_SYSROOT}")
# FindPython looks for the headers where the build machine's interpreter
# keeps its own, and a build front end such as scikit-build-core passes
# those; this takes the target's in their place.
file(GLOB Python_INCLUDE_DIR "${CMAKE_SYSROOT}/usr/include/python3.[0-9]*")
