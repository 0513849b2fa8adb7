// compiler.h: compiler-specific hints, behind macros.
//
// GCC and Clang take their attributes; other compilers (MSVC) get the
// nearest equivalent or nothing: a hint never changes behaviour.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
// Rarely run (error paths): optimised for size, laid out away from hot code.
#define QUILL_COLD __attribute__((cold))
#define QUILL_NOINLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define QUILL_COLD
#define QUILL_NOINLINE __declspec(noinline)
#else
#define QUILL_COLD
#define QUILL_NOINLINE
#endif
