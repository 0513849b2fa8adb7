// function_object.cpp: the function object type "quill_function_or_method".
//
// The module's callable for the functions it defines: calls go straight to
// a native implementation named by a static method record (function_call.cpp),
// while attribute access looks like a Python function's. The type is shared
// with every module of the same runtime version (type_registry.cpp), so the
// record layout in runtime.h is fixed; its head mirrors PyCMethodObject so
// that generic fast paths for builtin functions work on it unchanged.
//
// Used by production: one function object, the initializer, with one call
// kind (METH_FASTCALL | METH_KEYWORDS). The attributes, pickling support and
// the defaults getter are kept so that the object behaves as a Python
// function to any caller; FUNCTION_FLAG_* and the other call kinds
// (function_call.cpp) keep the runtime complete for the tests.
#include "runtime.h"
#include "compat.h"  // Py_T_PYSSIZET, Py_READONLY, MEMBER_OBJECT_OR_NONE
#include "messages.h"

#include <cstddef>      // offsetof
#include <type_traits>  // std::is_standard_layout_v

namespace quill {

// The shared record must not drift from the interpreter's builtin-method
// record in its first seven fields; compiling this file is the check.
static_assert(std::is_standard_layout_v<FunctionObject>);
static_assert(offsetof(FunctionObject, ob_base) == 0);
static_assert(offsetof(FunctionObject, m_ml) == offsetof(PyCMethodObject, func.m_ml));
static_assert(offsetof(FunctionObject, m_self) == offsetof(PyCMethodObject, func.m_self));
static_assert(offsetof(FunctionObject, m_module) == offsetof(PyCMethodObject, func.m_module));
static_assert(offsetof(FunctionObject, m_weakreflist) ==
              offsetof(PyCMethodObject, func.m_weakreflist));
static_assert(offsetof(FunctionObject, vectorcall) == offsetof(PyCMethodObject, func.vectorcall));
static_assert(offsetof(FunctionObject, mm_class) == offsetof(PyCMethodObject, mm_class));
static_assert(sizeof(FunctionObject::flags) == 4, "the function flags are a signed 32-bit field");

namespace {

// ---------------------------------------------------------------------------
// Slots.

// New reference: "<quillfunction QUALNAME at ADDRESS>".
PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<quillfunction %U at %p>", as_function(self)->func_qualname, self);
}

// New reference: the function itself when read from a class (no instance),
// else a bound method of the instance.
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (!obj || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Visits the type (instances of a heap type hold it), then the owned fields
// that can take part in reference cycles: the name and qualified name too,
// since they may be str subclasses. The code object cannot, and self is the
// object itself.
int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    FunctionObject *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->func_closure);
    Py_VISIT(f->m_module);
    Py_VISIT(f->func_dict);
    Py_VISIT(f->func_name);
    Py_VISIT(f->func_qualname);
    Py_VISIT(f->func_doc);
    Py_VISIT(f->func_globals);
    Py_VISIT(f->mm_class);
    Py_VISIT(f->defaults_tuple);
    Py_VISIT(f->defaults_kwdict);
    Py_VISIT(f->func_annotations);
    Py_VISIT(f->defaults_holder);
    return 0;
}

// Releases every owned field; self, the method record, the vectorcall
// entry, the defaults getter and the flags stay.
void release_fields(FunctionObject *f) noexcept {
    Py_CLEAR(f->func_closure);
    Py_CLEAR(f->m_module);
    Py_CLEAR(f->func_dict);
    Py_CLEAR(f->func_name);
    Py_CLEAR(f->func_qualname);
    Py_CLEAR(f->func_doc);
    Py_CLEAR(f->func_globals);
    Py_CLEAR(f->func_code);
    Py_CLEAR(f->mm_class);
    Py_CLEAR(f->defaults_tuple);
    Py_CLEAR(f->defaults_kwdict);
    Py_CLEAR(f->func_annotations);
    Py_CLEAR(f->defaults_holder);
}

// The collector's clear. The object may still be reached afterwards (a
// weak reference handed out by a finalizer, say), so it is left usable: the
// name and qualified name become the empty string, as a plain function's
// do, and every other field reads as its default.
int function_clear(PyObject *self) noexcept {
    FunctionObject *f = as_function(self);
    release_fields(f);
    // The shared empty string: making it cannot fail.
    f->func_name = PyUnicode_New(0, 0);
    f->func_qualname = PyUnicode_New(0, 0);
    return 0;
}

void function_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->m_weakreflist)
        PyObject_ClearWeakRefs(self);
    release_fields(as_function(self));
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Attributes.

// New reference to the doc: the cached value, else the method record's doc
// made into a str once, else None (not cached).
PyObject *function_get_doc(PyObject *self, void *) noexcept {
    FunctionObject *f = as_function(self);
    if (!f->func_doc) {
        if (!f->m_ml->ml_doc)
            Py_RETURN_NONE;
        f->func_doc = PyUnicode_FromString(f->m_ml->ml_doc);
        if (!f->func_doc)
            return nullptr;
    }
    return Py_NewRef(f->func_doc);
}

// Any value is stored; deletion stores None.
int function_set_doc(PyObject *self, PyObject *value, void *) noexcept {
    Py_XSETREF(as_function(self)->func_doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

// New reference to the name: made once, interned, from the method record.
PyObject *function_get_name(PyObject *self, void *) noexcept {
    FunctionObject *f = as_function(self);
    if (!f->func_name) {
        f->func_name = PyUnicode_InternFromString(f->m_ml->ml_name);
        if (!f->func_name)
            return nullptr;
    }
    return Py_NewRef(f->func_name);
}

int function_set_name(PyObject *self, PyObject *value, void *) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->func_name, Py_NewRef(value));
    return 0;
}

// New reference to the qualified name.
PyObject *function_get_qualname(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->func_qualname);
}

int function_set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->func_qualname, Py_NewRef(value));
    return 0;
}

// New reference to the globals dictionary; None once the collector has
// cleared the function.
PyObject *function_get_globals(PyObject *self, void *) noexcept {
    PyObject *globals = as_function(self)->func_globals;
    return Py_NewRef(globals ? globals : Py_None);
}

// The closure is kept for the garbage collector only: always None.
PyObject *function_get_closure(PyObject *, void *) noexcept {
    Py_RETURN_NONE;
}

// New reference to the code object, or None.
PyObject *function_get_code(PyObject *self, void *) noexcept {
    PyObject *code = as_function(self)->func_code;
    return Py_NewRef(code ? code : Py_None);
}

// Fills both defaults fields from the defaults getter's 2-tuple. 0, or -1
// with an error set.
int fill_defaults(FunctionObject *f) noexcept {
    Ref pair = Ref::steal(f->defaults_getter(reinterpret_cast<PyObject *>(f)));
    if (!pair)
        return -1;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_BadInternalCall();
        return -1;
    }
    Py_XSETREF(f->defaults_tuple, Py_NewRef(PyTuple_GET_ITEM(pair.get(), 0)));
    Py_XSETREF(f->defaults_kwdict, Py_NewRef(PyTuple_GET_ITEM(pair.get(), 1)));
    return 0;
}

// New reference to the field at `field` (one of the two defaults fields):
// its value when filled, else filled by the getter when there is one,
// else None with nothing stored.
PyObject *read_defaults(FunctionObject *f, PyObject *FunctionObject::*field) noexcept {
    if (!(f->*field) && f->defaults_getter && fill_defaults(f) < 0)
        return nullptr;
    PyObject *value = f->*field;
    return Py_NewRef(value ? value : Py_None);
}

PyObject *function_get_defaults(PyObject *self, void *) noexcept {
    return read_defaults(as_function(self), &FunctionObject::defaults_tuple);
}

PyObject *function_get_kwdefaults(PyObject *self, void *) noexcept {
    return read_defaults(as_function(self), &FunctionObject::defaults_kwdict);
}

// Validates, warns, then stores. When the warning filters turn the warning
// into an error, the write fails with that error and the field keeps its
// value. Deletion stores None.
int write_defaults(FunctionObject *f, PyObject *FunctionObject::*field, PyObject *value,
                   bool accepted, const char *type_error, const char *warning) noexcept {
    if (!value)
        value = Py_None;
    else if (value != Py_None && !accepted) {
        PyErr_SetString(PyExc_TypeError, type_error);
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0)
        return -1;
    Py_XSETREF(f->*field, Py_NewRef(value));
    return 0;
}

int function_set_defaults(PyObject *self, PyObject *value, void *) noexcept {
    return write_defaults(as_function(self), &FunctionObject::defaults_tuple, value,
                          value && PyTuple_Check(value), "__defaults__ must be set to a tuple object",
                          "changes to quillfunction.__defaults__ will not currently affect the "
                          "values used in function calls");
}

int function_set_kwdefaults(PyObject *self, PyObject *value, void *) noexcept {
    return write_defaults(as_function(self), &FunctionObject::defaults_kwdict, value,
                          value && PyDict_Check(value), "__kwdefaults__ must be set to a dict object",
                          "changes to quillfunction.__kwdefaults__ will not currently affect the "
                          "values used in function calls");
}

// ---------------------------------------------------------------------------
// Methods.

// New reference to the qualified name: pickling saves a function by name.
PyObject *function_reduce(PyObject *self, PyObject *) noexcept {
    return Py_NewRef(as_function(self)->func_qualname);
}

// ---------------------------------------------------------------------------
// Tables and the type spec.

PyMemberDef function_members[] = {
    {"__module__", compat::MEMBER_OBJECT_OR_NONE, offsetof(FunctionObject, m_module), 0, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, func_dict), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, m_weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"func_doc", function_get_doc, function_set_doc, nullptr, nullptr},
    {"__doc__", function_get_doc, function_set_doc, nullptr, nullptr},
    {"func_name", function_get_name, function_set_name, nullptr, nullptr},
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_globals", function_get_globals, nullptr, nullptr, nullptr},
    {"__globals__", function_get_globals, nullptr, nullptr, nullptr},
    {"func_closure", function_get_closure, nullptr, nullptr, nullptr},
    {"__closure__", function_get_closure, nullptr, nullptr, nullptr},
    {"func_code", function_get_code, nullptr, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"func_defaults", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
    {"__annotate__", function_get_annotate, function_set_annotate, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(function_call)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {0, nullptr},
};

}  // namespace

// The first record is the __annotate__ placeholder (function_annotations.cpp).
PyMethodDef function_methods[] = {
    {"__annotate_quill__", function_annotate_placeholder, METH_O,
     "Placeholder __annotate__ function to allow 'functools.wraps' to work on quill functions."},
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

namespace {
constexpr auto FUNCTION_TYPE_NAME = QUILL_JOIN(SHARED_MODULE_NAME, ".quill_function_or_method");
}  // namespace

PyType_Spec function_type_spec = {
    .name = FUNCTION_TYPE_NAME.text,
    .basicsize = static_cast<int>(sizeof(FunctionObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_BASETYPE |
             Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .slots = function_slots,
};

// New reference to a new function object, or null with an error set.
//
// 1. Allocate it untracked and fill every field, so that releasing it on a
//    later failure is safe.
// 2. Choose the vectorcall entry from the call kind; a refused kind fails.
// 3. Start garbage-collector tracking.
PyObject *function_new(PyMethodDef *ml, int flags, PyObject *qualname, PyObject *closure,
                       PyObject *module, PyObject *globals, PyObject *code) noexcept {
    if (!ml || !qualname || !globals || !quill_state.function_type) {
        PyErr_BadInternalCall();
        return nullptr;
    }
    FunctionObject *f = PyObject_GC_New(FunctionObject, quill_state.function_type);
    if (!f)
        return nullptr;
    f->m_ml = ml;
    f->m_self = reinterpret_cast<PyObject *>(f);
    f->m_module = Py_XNewRef(module);
    f->m_weakreflist = nullptr;
    f->vectorcall = nullptr;
    f->mm_class = nullptr;
    f->func_dict = nullptr;
    f->func_name = nullptr;
    f->func_qualname = Py_NewRef(qualname);
    f->func_doc = nullptr;
    f->func_globals = Py_NewRef(globals);
    f->func_code = Py_XNewRef(code);
    f->func_closure = Py_XNewRef(closure);
    f->defaults_holder = nullptr;
    f->flags = flags;
    f->defaults_tuple = nullptr;
    f->defaults_kwdict = nullptr;
    f->defaults_getter = nullptr;
    f->func_annotations = nullptr;

    bool ok = true;
    f->vectorcall = select_vectorcall(ml->ml_flags, &ok);
    if (!ok) {
        PyErr_SetString(PyExc_SystemError, messages::BAD_CALL_FLAGS);
        Py_DECREF(f);
        return nullptr;
    }
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject *>(f);
}

}  // namespace quill
