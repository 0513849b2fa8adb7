# Cross build of the extension modules for Linux on 64-bit ARM with zig's
# clang for the aarch64-linux-gnu.2.17 target: zig brings the C library's
# headers and a stub of glibc 2.17, so the modules need no newer symbol
# versions than the manylinux_2_17_aarch64 tag allows. tools/arm64/build.py
# writes the compiler wrapper and passes, with -D:
#
#   CMAKE_CXX_COMPILER      the wrapper running `zig c++ -target aarch64-linux-gnu.2.17`
#   CMAKE_AR, CMAKE_RANLIB  zig's ar and ranlib
#   QUILL_CONSTGEN          quill_constgen built for the build host
#   Python_EXECUTABLE       an interpreter of the same X.Y (its version only)
#   Python_INCLUDE_DIR      the arm64 interpreter's headers, its own pyconfig.h among them
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

# Headers and libraries come only from the paths given; programs from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The sources use no C++20 modules; zig ships no clang-scan-deps to look.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)

# Stripped at link time, as the native wheels are at install: neither zig's
# objcopy nor this machine's GNU strip (built for x86 alone) can strip an
# aarch64 module afterwards.
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--strip-all")
