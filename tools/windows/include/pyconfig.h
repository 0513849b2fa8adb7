// pyconfig.h for building extension modules for the official 64-bit Windows
// CPython (3.11 to 3.13) on another host. The interpreter's other headers are
// the same on every platform; this one says what the Windows build of the
// interpreter was configured with, as far as its public headers ask:
//
// - LLP64: int and long are 32 bits, long long, pointers and size_t 64;
// - wchar_t is 16 bits (UTF-16), as Windows' own;
// - MS_WINDOWS, NT threads;
// - the interpreter is a DLL (python3X.dll): its functions and data are
//   imported (__declspec(dllimport)), and PyMODINIT_FUNC exports the
//   module's init function (__declspec(dllexport)).
//
// The build copies the interpreter's headers without their pyconfig.h and
// puts this one beside them: Python.h includes "pyconfig.h" from its own
// folder first.
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !(defined(__x86_64__) || defined(_M_X64))
#error "this pyconfig.h is for 64-bit Windows on x86-64 targets only"
#endif

#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD

// The interpreter is python3X.dll; PyAPI_FUNC/PyAPI_DATA import from it.
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

// Windows is LLP64.
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF__BOOL 1
#define SIZEOF_WCHAR_T 2
// The interpreter keeps process ids in a C int on Windows.
#define SIZEOF_PID_T SIZEOF_INT
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define HAVE_LONG_LONG 1

#if defined(__SIZEOF_LONG__) && __SIZEOF_LONG__ != SIZEOF_LONG
#error "the compiler's long is not 32 bits: not a Windows (LLP64) target"
#endif
#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ != SIZEOF_WCHAR_T
#error "the compiler's wchar_t is not 16 bits: not a Windows target"
#endif

#define HAVE_WCHAR_H 1
#define HAVE_USABLE_WCHAR_T 1
#define HAVE_STDDEF_H 1
#define HAVE_IO_H 1
#define HAVE_PROCESS_H 1
#define HAVE_DIRECT_H 1
#define HAVE_CONIO_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_FCNTL_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_DYNAMIC_LOADING 1
#define HAVE_LARGEFILE_SUPPORT 1

// As the official build: docstrings and pymalloc; a release build (no
// Py_DEBUG), with the GIL (no Py_GIL_DISABLED).
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

#define PLATFORM "win32"

#endif  // Py_CONFIG_H
