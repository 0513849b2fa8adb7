// module_hooks.cpp: hooks into the import spine of quillmaret._m3.
#include "testhooks.h"
#include "version_check.h"

namespace {

// The definition of `module` (quillmaret._m3) and its slot `id`; null with
// TypeError when the call has not two arguments (`usage` says what it takes),
// or with LookupError when the definition lacks the slot.
PyModuleDef_Slot *find_slot(PyObject *const *args, Py_ssize_t nargs, int id, const char *usage,
                            const char *missing, PyModuleDef **def) {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, usage);
        return nullptr;
    }
    *def = PyModule_GetDef(args[0]);
    if (!*def)
        return nullptr;
    for (PyModuleDef_Slot *slot = (*def)->m_slots; slot && slot->slot; ++slot) {
        if (slot->slot == id)
            return slot;
    }
    PyErr_SetString(PyExc_LookupError, missing);
    return nullptr;
}

// run_exec_slot(module, target): runs the exec slot of `module`'s definition
// on `target`, as the import machinery would. Returns None, or raises what
// the slot raised.
PyObject *run_exec_slot(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    PyModuleDef *def;
    PyModuleDef_Slot *slot = find_slot(args, nargs, Py_mod_exec, "run_exec_slot(module, target)",
                                       "the definition has no exec slot", &def);
    if (!slot)
        return nullptr;
    auto exec = reinterpret_cast<int (*)(PyObject *)>(slot->value);
    if (exec(args[1]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// run_create_slot(module, spec): runs the create slot of `module`'s
// definition with a spec of the caller's making. Returns what it returns.
PyObject *run_create_slot(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    PyModuleDef *def;
    PyModuleDef_Slot *slot = find_slot(args, nargs, Py_mod_create, "run_create_slot(module, spec)",
                                       "the definition has no create slot", &def);
    if (!slot)
        return nullptr;
    auto create = reinterpret_cast<PyObject *(*)(PyObject *, PyModuleDef *)>(slot->value);
    return create(args[1], def);
}

// check_runtime_version(version): the exec slot's version check for a given
// Py_Version value. Returns None; warns, or raises a warning turned error.
PyObject *check_version(PyObject *, PyObject *arg) {
    unsigned long version = PyLong_AsUnsignedLong(arg);
    if (version == static_cast<unsigned long>(-1) && PyErr_Occurred())
        return nullptr;
    if (quill::check_runtime_version(version) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"run_exec_slot", QUILL_AS_PYCFUNCTION(run_exec_slot), METH_FASTCALL, nullptr},
    {"run_create_slot", QUILL_AS_PYCFUNCTION(run_create_slot), METH_FASTCALL, nullptr},
    {"check_runtime_version", check_version, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testhooks_init_module(PyObject *m) {
    return PyModule_AddFunctions(m, methods);
}
