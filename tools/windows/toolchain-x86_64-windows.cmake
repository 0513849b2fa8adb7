# Cross build of the extension modules for 64-bit Windows (CPython's official
# win_amd64 interpreters) with zig's clang for the x86_64-windows-gnu target,
# which links the Universal CRT, the C runtime those interpreters use.
# scripts/lib/windows.sh writes the compiler wrapper and passes, with -D:
#
#   CMAKE_CXX_COMPILER   the wrapper running `zig c++ -target x86_64-windows-gnu`
#   CMAKE_AR, CMAKE_RANLIB  zig's ar and ranlib
#   QUILL_CONSTGEN       quill_constgen built for the build host
#   Python_EXECUTABLE    a host interpreter of the same X.Y (version only)
#   Python_INCLUDE_DIR   the interpreter's headers with tools/windows/include/pyconfig.h
#   Python_LIBRARY       the import library made from the interpreter's python3X.dll
#   Python_SOABI         cp3X-win_amd64
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

# Headers and libraries come only from the paths given; programs from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The sources use no C++20 modules; zig ships no clang-scan-deps to look.
set(CMAKE_CXX_SCAN_FOR_MODULES OFF)
