// function_object.cpp: (being written)
#include "runtime.h"
