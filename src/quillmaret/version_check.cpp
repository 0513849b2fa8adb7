// version_check.cpp: the warning for a running interpreter other than the one
// the module was compiled for.
//
// Used by production: once per import.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "constant_ids.h"  // MODULE_NAME
#include "version_check.h"

namespace quill {

int check_runtime_version(unsigned long running_version) noexcept {
    const int major = static_cast<int>((running_version >> 24) & 0xFF);
    const int minor = static_cast<int>((running_version >> 16) & 0xFF);
    if (major == BUILT_FOR_MAJOR && minor == BUILT_FOR_MINOR)
        return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  BUILT_FOR_MAJOR, BUILT_FOR_MINOR, MODULE_NAME, "does not match", major,
                  minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

}  // namespace quill
