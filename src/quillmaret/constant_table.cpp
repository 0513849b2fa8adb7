// constant_table.cpp: (being written)
#include "runtime/runtime.h"
