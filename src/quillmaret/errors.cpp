// errors.cpp: (being written)
#include "errors.h"
