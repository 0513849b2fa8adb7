// testhooks.h: the areas of the test-only module _quill_testhooks.
//
// Each area file adds its hooks to the module with one init function.
#pragma once

#undef NDEBUG  // always check assertions in the hooks
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "runtime/runtime.h"

// True when a hook called `name` got between min and max positional
// arguments; otherwise false with TypeError set.
inline bool check_positional(const char *name, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max) {
    if (nargs >= min && nargs <= max)
        return true;
    if (min == max)
        PyErr_Format(PyExc_TypeError, "%.200s expected %zd arguments, got %zd", name, min, nargs);
    else
        PyErr_Format(PyExc_TypeError, "%.200s expected %zd to %zd arguments, got %zd", name, min,
                     max, nargs);
    return false;
}

int testhooks_init_module(PyObject *m);
int testhooks_init_lzss(PyObject *m);
int testhooks_init_function(PyObject *m);
int testhooks_init_helpers(PyObject *m);
int testhooks_init_classes(PyObject *m);
int testhooks_init_arguments(PyObject *m);
int testhooks_init_traceback(PyObject *m);
int testhooks_init_faults(PyObject *m);
int testhooks_init_endurance(PyObject *m);
