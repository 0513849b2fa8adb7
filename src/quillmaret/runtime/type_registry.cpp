// type_registry.cpp: (being written)
#include "runtime.h"
