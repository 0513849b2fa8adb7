// state.cpp: the process-wide state record of this extension module, and
// the steps that fill it which the module and the test hooks share.
#include "runtime.h"
#include "compat.h"  // PyImport_AddModuleRef

namespace quill {

// Zero-initialised at load: no module, empty lookup records and cache.
ProcessState quill_state;

int take_module_dict(PyObject *module) noexcept {
    PyObject *dict = PyModule_GetDict(module);  // borrowed
    if (!dict)
        return -1;
    Py_XSETREF(quill_state.module_dict, Py_NewRef(dict));
    return 0;
}

int take_module(const char *name, PyObject *&field) noexcept {
    PyObject *module = PyImport_AddModuleRef(name);
    if (!module)
        return -1;
    Py_XSETREF(field, module);
    return 0;
}

}  // namespace quill
