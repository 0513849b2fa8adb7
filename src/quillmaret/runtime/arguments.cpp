// arguments.cpp: (being written)
#include "runtime.h"
