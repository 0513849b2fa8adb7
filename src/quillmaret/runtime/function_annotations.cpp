// function_annotations.cpp: (being written)
#include "runtime.h"
