// fault_hooks.cpp: (being written)
#include "testhooks.h"

int testhooks_init_faults(PyObject *) { return 0; }
