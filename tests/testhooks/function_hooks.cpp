// function_hooks.cpp: (being written)
#include "testhooks.h"

int testhooks_init_function(PyObject *) { return 0; }
