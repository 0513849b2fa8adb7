// pending.cpp: TEMPORARY weak stand-ins for runtime routines still being
// written, so that the module builds and imports while the runtime grows.
// Each real definition overrides its stand-in at link time. This file goes
// away once every routine has landed.
#include "runtime.h"
#include "../errors.h"

#define QUILL_WEAK __attribute__((weak))

namespace quill {

QUILL_WEAK int init_empty_constants() noexcept {
    quill_state.empty_tuple = PyTuple_New(0);
    quill_state.empty_bytes = PyBytes_FromStringAndSize("", 0);
    quill_state.empty_str = PyUnicode_FromStringAndSize("", 0);
    return 0;
}
// Uncompressed stand-in for the decoder.
QUILL_WEAK int init_constant_table() noexcept {
    static const char *const texts[] = {
#define QUILL_TEXT(id, text) text,
#define QUILL_NAME(id, text) text,
#define QUILL_LINE_TABLE(bytes)
#include "../constants.def"
#undef QUILL_TEXT
#undef QUILL_NAME
#undef QUILL_LINE_TABLE
    };
    for (int i = 0; i < CONST_COUNT; ++i) {
        quill_state.strings[i] = PyUnicode_FromString(texts[i]);
        if (!quill_state.strings[i])
            return -1;
        if (i >= FIRST_NAME_ENTRY)
            PyUnicode_InternInPlace(&quill_state.strings[i]);
    }
    return 0;
}
QUILL_WEAK int init_code_object() noexcept { return 0; }
QUILL_WEAK int lzss_decode(const unsigned char *, Py_ssize_t, unsigned char *, Py_ssize_t) noexcept { return -1; }

QUILL_WEAK PyType_Spec metatype_spec = {};
QUILL_WEAK PyType_Spec function_type_spec = {};
QUILL_WEAK PyTypeObject *fetch_shared_type(PyTypeObject *, PyType_Spec *, PyObject *) noexcept { return nullptr; }
QUILL_WEAK int check_shared_type(PyObject *, const char *, Py_ssize_t) noexcept { return 0; }

QUILL_WEAK PyObject *get_builtin_name(PyObject *) noexcept { return Py_NewRef(Py_None); }
QUILL_WEAK PyObject *fast_call(PyObject *func, PyObject *const *args, size_t nargsf) noexcept {
    return PyObject_Vectorcall(func, args, nargsf, nullptr);
}

QUILL_WEAK void add_traceback(const char *, int, const char *) noexcept {}

QUILL_WEAK int build_error_classes(int *) noexcept { return 0; }

}  // namespace quill
