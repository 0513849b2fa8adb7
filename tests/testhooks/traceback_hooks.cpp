// traceback_hooks.cpp: hooks into the traceback records and this module's
// code object cache.
#include "testhooks.h"

using namespace quill;

namespace {

// add_traceback(exc, funcname, line): makes exc the pending exception (with
// the traceback it already has), adds one entry, and lets it propagate.
// Always raises.
PyObject *hook_add_traceback(PyObject *, PyObject *args) {
    PyObject *exc;
    const char *funcname;
    int line;
    if (!PyArg_ParseTuple(args, "O!si:add_traceback", PyExc_BaseException, &exc, &funcname, &line))
        return nullptr;
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(exc))), Py_NewRef(exc),
                  PyException_GetTraceback(exc));
    add_traceback(funcname, line);
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "add_traceback lost the pending exception");
    return nullptr;
}

// code_cache() -> (lines, capacity, code objects), in cache order.
PyObject *hook_code_cache(PyObject *, PyObject *) {
    const CodeCache &cache = quill_state.code_cache;
    Ref lines = Ref::steal(PyList_New(cache.count));
    Ref codes = Ref::steal(PyList_New(cache.count));
    if (!lines || !codes)
        return nullptr;
    for (int i = 0; i < cache.count; ++i) {
        PyObject *line = PyLong_FromLong(cache.entries[i].line);
        if (!line)
            return nullptr;
        PyList_SET_ITEM(lines.get(), i, line);
        PyList_SET_ITEM(codes.get(), i, Py_NewRef(reinterpret_cast<PyObject *>(cache.entries[i].code)));
    }
    return Py_BuildValue("(OiO)", lines.get(), cache.capacity, codes.get());
}

// code_cache_reset(): empties this module's cache and frees its array, so a
// test starts from the state at load.
PyObject *hook_code_cache_reset(PyObject *, PyObject *) {
    CodeCache &cache = quill_state.code_cache;
    for (int i = 0; i < cache.count; ++i)
        Py_DECREF(cache.entries[i].code);
    PyMem_Free(cache.entries);
    cache = CodeCache{.count = 0, .capacity = 0, .entries = nullptr};
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"add_traceback", hook_add_traceback, METH_VARARGS, nullptr},
    {"code_cache", hook_code_cache, METH_NOARGS, nullptr},
    {"code_cache_reset", hook_code_cache_reset, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testhooks_init_traceback(PyObject *m) {
    return PyModule_AddFunctions(m, methods);
}
