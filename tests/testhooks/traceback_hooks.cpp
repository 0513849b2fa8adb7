// traceback_hooks.cpp: (being written)
#include "testhooks.h"

int testhooks_init_traceback(PyObject *) { return 0; }
