// endurance_hooks.cpp: call paths that interpreted code cannot take, for the
// property tests of the initializer.
//
// A Python call always hands a function keyword names as a tuple of strings:
// the interpreter refuses non-string keys before the call. These hooks make
// the two C-level calls that can carry any keys: the type's call slot with a
// keyword dict, and the entry routine itself with a keyword dict.
#include "testhooks.h"
#include "runtime/compat.h"  // PyCFunctionFastWithKeywords

using namespace quill;

namespace {

// call_with_dict(func, args, kwargs) -> the result of calling func through
// its type's call slot with the tuple args and the dict kwargs (or None).
PyObject *call_with_dict(PyObject *, PyObject *args) {
    PyObject *func, *pos, *kwargs;
    if (!PyArg_ParseTuple(args, "OO!O:call_with_dict", &func, &PyTuple_Type, &pos, &kwargs))
        return nullptr;
    if (kwargs != Py_None && !PyDict_Check(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "kwargs must be a dict or None");
        return nullptr;
    }
    ternaryfunc call = Py_TYPE(func)->tp_call;
    if (!call) {
        PyErr_SetString(PyExc_TypeError, "func has no call slot");
        return nullptr;
    }
    return call(func, pos, kwargs == Py_None ? nullptr : kwargs);
}

// call_entry_with_dict(func, args, kwargs) -> the result of calling the
// entry routine of the function object func (METH_FASTCALL | METH_KEYWORDS)
// directly, with the items of args as its vector and the dict kwargs (or
// None) as its keyword input; self is the function object, as the call
// paths pass it when the function flags are 0.
PyObject *call_entry_with_dict(PyObject *, PyObject *args) {
    PyObject *func, *pos, *kwargs;
    if (!PyArg_ParseTuple(args, "OO!O:call_entry_with_dict", &func, &PyTuple_Type, &pos, &kwargs))
        return nullptr;
    if (kwargs != Py_None && !PyDict_Check(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "kwargs must be a dict or None");
        return nullptr;
    }
    if (!quill_state.function_type || Py_TYPE(func) != quill_state.function_type) {
        PyErr_SetString(PyExc_TypeError, "func is not a quill function object");
        return nullptr;
    }
    const PyMethodDef *ml = reinterpret_cast<FunctionObject *>(func)->m_ml;
    if ((ml->ml_flags & 0x28f) != (METH_FASTCALL | METH_KEYWORDS)) {
        PyErr_SetString(PyExc_TypeError, "func's entry is not METH_FASTCALL | METH_KEYWORDS");
        return nullptr;
    }
    auto entry = quill::method_implementation<PyCFunctionFastWithKeywords>(ml);
    return entry(func, &PyTuple_GET_ITEM(pos, 0), PyTuple_GET_SIZE(pos), kwargs == Py_None ? nullptr : kwargs);
}

PyMethodDef methods[] = {
    {"call_with_dict", call_with_dict, METH_VARARGS, nullptr},
    {"call_entry_with_dict", call_entry_with_dict, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testhooks_init_endurance(PyObject *m) {
    return PyModule_AddFunctions(m, methods);
}
