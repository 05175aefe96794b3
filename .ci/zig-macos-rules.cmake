# zig's Mach-O linker makes no bundles (it links -bundle, CMake's flag for a
# module on Apple, as a program). A dynamic library with the interpreter's
# symbols left to dynamic lookup loads as an extension module all the same;
# Apple's own toolchain keeps -bundle.
set(CMAKE_SHARED_MODULE_CREATE_C_FLAGS "-shared")
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
