// traceback.cpp: (being written)
#include "runtime.h"
