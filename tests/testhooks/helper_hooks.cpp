// helper_hooks.cpp: hooks into the lookup and call helpers, and probe
// callables that show which path of the fast call served a call.
#include "testhooks.h"

#include <cstring>           // strcmp, strrchr
#include <initializer_list>

using namespace quill;

namespace {

// 0 when every one of the n objects is a type, else -1 with TypeError set.
int require_types(PyObject *const *args, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyType_Check(args[i])) {
            PyErr_SetString(PyExc_TypeError, "expected classes");
            return -1;
        }
    }
    return 0;
}

PyTypeObject *as_type(PyObject *o) { return reinterpret_cast<PyTypeObject *>(o); }

// is_subtype(a, b) -> bool
PyObject *hook_is_subtype(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_positional("is_subtype", nargs, 2, 2) || require_types(args, 2) < 0)
        return nullptr;
    return PyBool_FromLong(is_subtype(as_type(args[0]), as_type(args[1])));
}

// is_subtype_of_either(t, a, b) -> bool
PyObject *hook_is_subtype_of_either(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_positional("is_subtype_of_either", nargs, 3, 3) || require_types(args, 3) < 0)
        return nullptr;
    return PyBool_FromLong(is_subtype_of_either(as_type(args[0]), as_type(args[1]), as_type(args[2])));
}

// exception_matches(err, spec) -> bool
PyObject *hook_exception_matches(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_positional("exception_matches", nargs, 2, 2))
        return nullptr;
    return PyBool_FromLong(exception_matches(args[0], args[1]));
}

// get_attribute_no_error(obj, name) -> (True, value) | (False, None); raises
// what stayed pending.
PyObject *hook_get_attribute_no_error(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_positional("get_attribute_no_error", nargs, 2, 2))
        return nullptr;
    if (!PyUnicode_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "the name must be a str");
        return nullptr;
    }
    Ref value = Ref::steal(get_attribute_no_error(args[0], args[1]));
    if (value)
        return Py_BuildValue("(OO)", Py_True, value.get());
    if (PyErr_Occurred())
        return nullptr;
    return Py_BuildValue("(OO)", Py_False, Py_None);
}

// get_builtin_name(name) -> object
PyObject *hook_get_builtin_name(PyObject *, PyObject *arg) {
    if (!PyUnicode_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "the name must be a str");
        return nullptr;
    }
    return get_builtin_name(arg);
}

// call_builtin_direct(func[, arg]) -> object; func must be a builtin
// function or a function object.
PyObject *hook_call_builtin_direct(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_positional("call_builtin_direct", nargs, 1, 2))
        return nullptr;
    if (!PyCFunction_Check(args[0]) &&
        !PyObject_TypeCheck(args[0], quill_state.function_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a builtin function");
        return nullptr;
    }
    return call_builtin_direct(args[0], nargs == 2 ? args[1] : nullptr);
}

// fast_call(func, args, offset) -> object: calls with the tuple's items as
// the argument vector; `offset` sets PY_VECTORCALL_ARGUMENTS_OFFSET and
// gives the vector its spare slot in front.
PyObject *hook_fast_call(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_positional("fast_call", nargs, 3, 3))
        return nullptr;
    if (!PyTuple_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "args must be a tuple");
        return nullptr;
    }
    int offset = PyObject_IsTrue(args[2]);
    if (offset < 0)
        return nullptr;
    constexpr Py_ssize_t MAX_ARGS = 8;
    Py_ssize_t n = PyTuple_GET_SIZE(args[1]);
    if (n > MAX_ARGS) {
        PyErr_SetString(PyExc_ValueError, "at most 8 arguments");
        return nullptr;
    }
    PyObject *vector[MAX_ARGS + 1] = {};
    for (Py_ssize_t i = 0; i < n; ++i)
        vector[i + 1] = PyTuple_GET_ITEM(args[1], i);
    size_t nargsf = static_cast<size_t>(n) | (offset ? PY_VECTORCALL_ARGUMENTS_OFFSET : 0);
    return fast_call(args[0], vector + 1, nargsf);
}

// ---------------------------------------------------------------------------
// Probe builtins: the native implementation answers ("direct", self, arg);
// the vectorcall entry, patched in after creation, answers ("vectorcall",
// nargsf). With self True the implementation returns null without an error.

PyObject *probe_impl(PyObject *self, PyObject *arg) {
    if (self == Py_True)
        return nullptr;
    return Py_BuildValue("(sOO)", "direct", self ? self : Py_None, arg ? arg : Py_None);
}

PyObject *probe_vectorcall(PyObject *, PyObject *const *, size_t nargsf, PyObject *) {
    return Py_BuildValue("(sK)", "vectorcall", static_cast<unsigned long long>(nargsf));
}

PyMethodDef probe_defs[] = {
    {"probe_noargs", probe_impl, METH_NOARGS, nullptr},
    {"probe_o", probe_impl, METH_O, nullptr},
    {"probe_o_static", probe_impl, METH_O | METH_STATIC, nullptr},
};

// make_probe(kind, self=None) -> builtin function; kind is "noargs", "o"
// or "o_static".
PyObject *hook_make_probe(PyObject *, PyObject *args) {
    const char *kind;
    PyObject *self = Py_None;
    if (!PyArg_ParseTuple(args, "s|O:make_probe", &kind, &self))
        return nullptr;
    PyMethodDef *def = nullptr;
    for (PyMethodDef &d : probe_defs) {
        if (std::strcmp(d.ml_name + 6, kind) == 0)
            def = &d;
    }
    if (!def) {
        PyErr_SetString(PyExc_ValueError, "unknown probe kind");
        return nullptr;
    }
    PyObject *func = PyCFunction_New(def, self);
    if (func)
        reinterpret_cast<PyCFunctionObject *>(func)->vectorcall = probe_vectorcall;
    return func;
}

// A type with a call slot and no vectorcall entry: a call answers
// (args, kwargs or None). NullCallSlot's call returns null without an error.
PyObject *call_slot_probe_call(PyObject *, PyObject *args, PyObject *kwargs) {
    return Py_BuildValue("(OO)", args, kwargs ? kwargs : Py_None);
}

PyObject *null_call_slot_call(PyObject *, PyObject *, PyObject *) { return nullptr; }

PyType_Slot call_slot_probe_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(call_slot_probe_call)},
    {0, nullptr},
};
PyType_Spec call_slot_probe_spec = {
    .name = "quillmaret._quill_testhooks.CallSlotProbe",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = call_slot_probe_slots,
};

PyType_Slot null_call_slot_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(null_call_slot_call)},
    {0, nullptr},
};
PyType_Spec null_call_slot_spec = {
    .name = "quillmaret._quill_testhooks.NullCallSlot",
    .basicsize = sizeof(PyObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = null_call_slot_slots,
};


PyMethodDef methods[] = {
    {"is_subtype", QUILL_AS_PYCFUNCTION(hook_is_subtype), METH_FASTCALL, nullptr},
    {"is_subtype_of_either", QUILL_AS_PYCFUNCTION(hook_is_subtype_of_either), METH_FASTCALL, nullptr},
    {"exception_matches", QUILL_AS_PYCFUNCTION(hook_exception_matches), METH_FASTCALL, nullptr},
    {"get_attribute_no_error", QUILL_AS_PYCFUNCTION(hook_get_attribute_no_error), METH_FASTCALL, nullptr},
    {"get_builtin_name", hook_get_builtin_name, METH_O, nullptr},
    {"call_builtin_direct", QUILL_AS_PYCFUNCTION(hook_call_builtin_direct), METH_FASTCALL, nullptr},
    {"fast_call", QUILL_AS_PYCFUNCTION(hook_fast_call), METH_FASTCALL, nullptr},
    {"make_probe", hook_make_probe, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testhooks_init_helpers(PyObject *m) {
    if (PyModule_AddFunctions(m, methods) < 0)
        return -1;
    for (PyType_Spec *spec : {&call_slot_probe_spec, &null_call_slot_spec}) {
        PyObject *type = PyType_FromSpec(spec);
        if (!type)
            return -1;
        if (PyModule_AddObject(m, std::strrchr(spec->name, '.') + 1, type) < 0) {
            Py_DECREF(type);
            return -1;
        }
    }
    return 0;
}
