// testhooks.h: the areas of the test-only module _quill_testhooks.
//
// Each area file adds its hooks to the module with one init function.
#pragma once

#undef NDEBUG  // always check assertions in the hooks
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "runtime/runtime.h"

int testhooks_init_module(PyObject *m);
int testhooks_init_lzss(PyObject *m);
int testhooks_init_function(PyObject *m);
int testhooks_init_helpers(PyObject *m);
int testhooks_init_classes(PyObject *m);
int testhooks_init_arguments(PyObject *m);
int testhooks_init_traceback(PyObject *m);
int testhooks_init_faults(PyObject *m);
int testhooks_init_endurance(PyObject *m);
