// class_construction.cpp: (being written)
#include "runtime.h"
