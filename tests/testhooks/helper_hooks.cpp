// helper_hooks.cpp: (being written)
#include "testhooks.h"

int testhooks_init_helpers(PyObject *) { return 0; }
