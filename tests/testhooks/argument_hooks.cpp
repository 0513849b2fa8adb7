// argument_hooks.cpp: hooks into argument binding and the type test, with
// parameter lists given from Python.
#include "testhooks.h"

#include "runtime/arguments.h"

using namespace quill;

namespace {

constexpr Py_ssize_t MAX_PARAMS = 16;

// A parameter-name list built from a Python list of str: each name interned
// and hashed, as the constant table's names are.
class ParamList {
public:
    ~ParamList() {
        for (Py_ssize_t i = 0; i < count_; ++i)
            Py_DECREF(strings_[i]);
    }
    // 0, or -1 with an error set.
    int fill(PyObject *list) {
        if (!PyList_Check(list) || PyList_GET_SIZE(list) > MAX_PARAMS) {
            PyErr_SetString(PyExc_TypeError, "names must be a list of at most 16 str");
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject *name = PyList_GET_ITEM(list, i);
            if (!PyUnicode_CheckExact(name)) {
                PyErr_SetString(PyExc_TypeError, "names must be exact str");
                return -1;
            }
            strings_[count_] = Py_NewRef(name);
            PyUnicode_InternInPlace(&strings_[count_]);
            ptrs_[count_] = &strings_[count_];
            ++count_;
            if (PyObject_Hash(strings_[count_ - 1]) == -1)
                return -1;
        }
        ptrs_[count_] = nullptr;
        return 0;
    }
    ParamNames names() const { return ptrs_; }
    Py_ssize_t size() const { return count_; }
    PyObject *name(Py_ssize_t i) const { return strings_[i]; }

private:
    PyObject *strings_[MAX_PARAMS] = {};
    PyObject **ptrs_[MAX_PARAMS + 1] = {};
    Py_ssize_t count_ = 0;
};

// The value slots of one binding; releases what was bound on every exit.
struct Slots {
    PyObject *values[MAX_PARAMS] = {};
    ~Slots() {
        for (PyObject *v : values)
            Py_XDECREF(v);
    }
};

// bind(names, min, max, args, kw=None, defaults=(), funcname="__init__")
//   -> {name: value} for the bound slots.
// kw is None, a tuple of keyword names (their values are the last items of
// args), or a dict. After binding, empty slots from min on take the
// defaults (aligned to the end of the list, like __defaults__), then the
// required slots are checked.
PyObject *hook_bind(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"names", "min", "max", "args", "kw", "defaults", "funcname",
                                   nullptr};
    PyObject *names_list, *argv, *kw = Py_None, *defaults = nullptr;
    Py_ssize_t min, max;
    const char *funcname = "__init__";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnnO!|OO!s:bind", const_cast<char **>(kwlist),
                                     &names_list, &min, &max, &PyTuple_Type, &argv, &kw,
                                     &PyTuple_Type, &defaults, &funcname))
        return nullptr;
    ParamList params;
    if (params.fill(names_list) < 0)
        return nullptr;
    if (min < 0 || min > max || max > params.size()) {
        PyErr_SetString(PyExc_ValueError, "need 0 <= min <= max <= len(names)");
        return nullptr;
    }
    Py_ssize_t nargs = PyTuple_GET_SIZE(argv);
    if (kw == Py_None) {
        kw = nullptr;
    } else if (PyTuple_Check(kw)) {
        nargs -= PyTuple_GET_SIZE(kw);
        if (nargs < 0) {
            PyErr_SetString(PyExc_ValueError, "more keyword names than values");
            return nullptr;
        }
    } else if (!PyDict_Check(kw)) {
        PyErr_SetString(PyExc_TypeError, "kw must be None, a tuple or a dict");
        return nullptr;
    }

    Slots slots;
    PyObject *const *vector = reinterpret_cast<PyTupleObject *>(argv)->ob_item;
    if (bind_arguments(vector, nargs, kw, params.names(), slots.values, min, max, funcname) < 0)
        return nullptr;
    if (defaults) {
        Py_ssize_t nd = PyTuple_GET_SIZE(defaults);
        for (Py_ssize_t i = 0; i < nd; ++i) {
            Py_ssize_t slot = params.size() - nd + i;
            if (slot >= min && !slots.values[slot])
                slots.values[slot] = Py_NewRef(PyTuple_GET_ITEM(defaults, i));
        }
    }
    if (check_required(slots.values, nargs, min, max, funcname) < 0)
        return nullptr;

    Ref result = Ref::steal(PyDict_New());
    if (!result)
        return nullptr;
    for (Py_ssize_t i = 0; i < params.size(); ++i) {
        if (slots.values[i] && PyDict_SetItem(result.get(), params.name(i), slots.values[i]) < 0)
            return nullptr;
    }
    return result.release();
}

// match_keyword(key, names, n, funcname="__init__") -> index or None
PyObject *hook_match_keyword(PyObject *, PyObject *args) {
    PyObject *key, *names_list;
    Py_ssize_t n;
    const char *funcname = "__init__";
    if (!PyArg_ParseTuple(args, "OOn|s:match_keyword", &key, &names_list, &n, &funcname))
        return nullptr;
    ParamList params;
    if (params.fill(names_list) < 0)
        return nullptr;
    if (n < 0 || n > params.size()) {
        PyErr_SetString(PyExc_ValueError, "need 0 <= n <= len(names)");
        return nullptr;
    }
    Py_ssize_t index = -1;
    int found = match_keyword(key, params.names(), params.names() + n, &index, funcname);
    if (found < 0)
        return nullptr;
    if (found == 0)
        Py_RETURN_NONE;
    return PyLong_FromSsize_t(index);
}

// raise_argument_count_error(funcname, min, max, found): always raises.
PyObject *hook_raise_argument_count_error(PyObject *, PyObject *args) {
    const char *funcname;
    Py_ssize_t min, max, found;
    if (!PyArg_ParseTuple(args, "snnn:raise_argument_count_error", &funcname, &min, &max, &found))
        return nullptr;
    raise_argument_count_error(funcname, min, max, found);
    return nullptr;
}

// check_argument_type(obj, type|None, none_allowed, name) -> True, or raises.
PyObject *hook_check_argument_type(PyObject *, PyObject *args) {
    PyObject *obj, *type;
    int none_allowed;
    const char *name;
    if (!PyArg_ParseTuple(args, "OOps:check_argument_type", &obj, &type, &none_allowed, &name))
        return nullptr;
    if (type != Py_None && !PyType_Check(type)) {
        PyErr_SetString(PyExc_TypeError, "expected a class or None");
        return nullptr;
    }
    PyTypeObject *expected = type == Py_None ? nullptr : reinterpret_cast<PyTypeObject *>(type);
    if (!check_argument_type(obj, expected, none_allowed, name))
        return nullptr;
    Py_RETURN_TRUE;
}

PyMethodDef methods[] = {
    {"bind", QUILL_AS_PYCFUNCTION(hook_bind),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"match_keyword", hook_match_keyword, METH_VARARGS, nullptr},
    {"raise_argument_count_error", hook_raise_argument_count_error, METH_VARARGS, nullptr},
    {"check_argument_type", hook_check_argument_type, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testhooks_init_arguments(PyObject *m) {
    return PyModule_AddFunctions(m, methods);
}
