// call_helpers.cpp: (being written)
#include "runtime.h"
