// errors.h: the five error classes and the initializer of QuillMaretAPIError.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quill {

// Builds the five classes into the module dictionary, in order. 0, or -1
// with an error set and *line set to the source line of the failing class
// statement (*line is not touched on success).
int build_error_classes(int *line) noexcept;

// The initializer's entry routine (METH_FASTCALL | METH_KEYWORDS): kw is
// null, a tuple of keyword names, or a dict. New reference to None, or null.
PyObject *api_error_init(PyObject *func, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kw) noexcept;

}  // namespace quill
