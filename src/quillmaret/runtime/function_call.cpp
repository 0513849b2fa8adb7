// function_call.cpp: (being written)
#include "runtime.h"
