# Cross-compiles for macOS with zig, which carries clang with the macOS SDK's
# headers and stubs and LLVM's libc++: a check that the project compiles and
# links there, since nothing built for macOS runs on this machine. The
# environment names the zig executable (ZIG) and the target (ZIG_TARGET:
# aarch64-macos or x86_64-macos); it is read again by CMake's own checks.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_C_COMPILER "$ENV{ZIG}" cc -target "$ENV{ZIG_TARGET}")
set(CMAKE_CXX_COMPILER "$ENV{ZIG}" c++ -target "$ENV{ZIG_TARGET}")
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_DIR}/zig-macos-rules.cmake")
