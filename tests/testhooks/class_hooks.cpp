// class_hooks.cpp: hooks into the class construction protocol and the
// cached global lookup (whose module dictionary is this module's own).
#include "testhooks.h"
#include "runtime/compat.h"  // HAS_DICT_VERSION, dict_version

#include <cstddef>  // offsetof

using namespace quill;

namespace {

// The class-cell assignment writes the defining-class field of the function
// record, which sits where PyCMethodObject keeps mm_class; the hooks hand it
// builtin methods with a defining class.
static_assert(offsetof(FunctionObject, mm_class) == offsetof(PyCMethodObject, mm_class));

// None -> null, anything else unchanged (borrowed).
PyObject *none_to_null(PyObject *o) { return o == Py_None ? nullptr : o; }

int require_tuple(PyObject *o) {
    if (PyTuple_Check(o))
        return 0;
    PyErr_SetString(PyExc_TypeError, "expected a tuple");
    return -1;
}

// resolve_bases(declared) -> tuple
PyObject *hook_resolve_bases(PyObject *, PyObject *arg) {
    return require_tuple(arg) < 0 ? nullptr : resolve_bases(arg);
}

// calculate_metaclass(bases) -> type
PyObject *hook_calculate_metaclass(PyObject *, PyObject *arg) {
    return require_tuple(arg) < 0 ? nullptr : calculate_metaclass(arg);
}

// prepare_namespace(metaclass|None, bases, name, qualname, modname, doc|None)
PyObject *hook_prepare_namespace(PyObject *, PyObject *args) {
    PyObject *meta, *bases, *name, *qualname, *modname, *doc;
    if (!PyArg_ParseTuple(args, "OO!UUUO:prepare_namespace", &meta, &PyTuple_Type, &bases, &name,
                          &qualname, &modname, &doc))
        return nullptr;
    return prepare_namespace(none_to_null(meta), bases, name, qualname, modname,
                             none_to_null(doc));
}

// record_declared_bases(ns, declared, resolved) -> None
PyObject *hook_record_declared_bases(PyObject *, PyObject *args) {
    PyObject *ns, *declared, *resolved;
    if (!PyArg_ParseTuple(args, "OO!O!:record_declared_bases", &ns, &PyTuple_Type, &declared,
                          &PyTuple_Type, &resolved))
        return nullptr;
    if (record_declared_bases(ns, declared, resolved) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// create_class(metaclass, name, bases, ns) -> class
PyObject *hook_create_class(PyObject *, PyObject *args) {
    PyObject *meta, *name, *bases, *ns;
    if (!PyArg_ParseTuple(args, "OUO!O:create_class", &meta, &name, &PyTuple_Type, &bases, &ns))
        return nullptr;
    return create_class(meta, name, bases, ns);
}

// A builtin method with a defining class, standing in for a function object
// of a class body.
PyObject *method_impl(PyObject *, PyTypeObject *, PyObject *const *, Py_ssize_t, PyObject *) {
    Py_RETURN_NONE;
}
PyMethodDef method_def = {
    "cell_method", QUILL_AS_PYCFUNCTION(method_impl),
    METH_METHOD | METH_FASTCALL | METH_KEYWORDS, nullptr};

// make_cell_method(cls) -> builtin method whose defining class is cls.
PyObject *hook_make_cell_method(PyObject *, PyObject *arg) {
    if (!PyType_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "expected a class");
        return nullptr;
    }
    return PyCMethod_New(&method_def, nullptr, nullptr, reinterpret_cast<PyTypeObject *>(arg));
}

// defining_class(method) -> class or None
PyObject *hook_defining_class(PyObject *, PyObject *arg) {
    if (!PyCMethod_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "expected a builtin method");
        return nullptr;
    }
    PyTypeObject *cls = reinterpret_cast<PyCMethodObject *>(arg)->mm_class;
    return Py_NewRef(cls ? reinterpret_cast<PyObject *>(cls) : Py_None);
}

// assign_class_cell(methods, cls) -> None
PyObject *hook_assign_class_cell(PyObject *, PyObject *args) {
    PyObject *list, *cls;
    if (!PyArg_ParseTuple(args, "O!O!:assign_class_cell", &PyList_Type, &list, &PyType_Type, &cls))
        return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (!PyCMethod_Check(PyList_GET_ITEM(list, i))) {
            PyErr_SetString(PyExc_TypeError, "expected builtin methods");
            return nullptr;
        }
    }
    assign_class_cell(list, cls);
    Py_RETURN_NONE;
}

// LookupRecord *, or null with IndexError set.
LookupRecord *record_at(PyObject *index) {
    Py_ssize_t i = PyLong_AsSsize_t(index);
    if (i == -1 && PyErr_Occurred())
        return nullptr;
    if (i < 0 || i >= LOOKUP_RECORD_COUNT) {
        PyErr_SetString(PyExc_IndexError, "no such lookup record");
        return nullptr;
    }
    return &quill_state.lookups[i];
}

// cached_global_lookup(name, site) -> object: looks `name` up in this
// module's dictionary, then the builtins, through lookup record `site`.
PyObject *hook_cached_global_lookup(PyObject *, PyObject *args) {
    PyObject *name, *site;
    if (!PyArg_ParseTuple(args, "UO:cached_global_lookup", &name, &site))
        return nullptr;
    if (!PyUnicode_CheckExact(name)) {
        PyErr_SetString(PyExc_TypeError, "the name must be an exact str");
        return nullptr;
    }
    LookupRecord *record = record_at(site);
    return record ? cached_global_lookup(name, record) : nullptr;
}

// lookup_record(site) -> (version, value or None)
PyObject *hook_lookup_record(PyObject *, PyObject *site) {
    LookupRecord *record = record_at(site);
    if (!record)
        return nullptr;
    return Py_BuildValue("(KO)", static_cast<unsigned long long>(record->version),
                         record->value ? record->value : Py_None);
}

// reset_lookup_record(site) -> None: back to the state at load.
PyObject *hook_reset_lookup_record(PyObject *, PyObject *site) {
    LookupRecord *record = record_at(site);
    if (!record)
        return nullptr;
    *record = LookupRecord{.version = 0, .value = nullptr};
    Py_RETURN_NONE;
}

// dict_version(d) -> int: the dictionary's version tag; NotImplementedError
// where dictionaries have none (3.12 and later).
PyObject *hook_dict_version(PyObject *, PyObject *arg) {
    if (!PyDict_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "expected a dict");
        return nullptr;
    }
    if (!compat::HAS_DICT_VERSION) {
        PyErr_SetString(PyExc_NotImplementedError, "dictionaries have no version tag");
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(compat::dict_version(arg));
}

PyMethodDef methods[] = {
    {"resolve_bases", hook_resolve_bases, METH_O, nullptr},
    {"calculate_metaclass", hook_calculate_metaclass, METH_O, nullptr},
    {"prepare_namespace", hook_prepare_namespace, METH_VARARGS, nullptr},
    {"record_declared_bases", hook_record_declared_bases, METH_VARARGS, nullptr},
    {"create_class", hook_create_class, METH_VARARGS, nullptr},
    {"make_cell_method", hook_make_cell_method, METH_O, nullptr},
    {"defining_class", hook_defining_class, METH_O, nullptr},
    {"assign_class_cell", hook_assign_class_cell, METH_VARARGS, nullptr},
    {"cached_global_lookup", hook_cached_global_lookup, METH_VARARGS, nullptr},
    {"lookup_record", hook_lookup_record, METH_O, nullptr},
    {"reset_lookup_record", hook_reset_lookup_record, METH_O, nullptr},
    {"dict_version", hook_dict_version, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testhooks_init_classes(PyObject *m) {
    return PyModule_AddFunctions(m, methods);
}
