// function_annotations.cpp: __annotations__, __annotate__ and the
// __annotate_quill__ placeholder of function objects.
//
// The annotations dict lives in the function's annotations field; an
// assigned __annotate__ (None or a callable) lives as the "__annotate__"
// entry of the function's instance dict. Without that entry, __annotate__
// reads a bound placeholder method that returns __annotations__, so that
// tools like functools.wraps find the attribute they expect.
#include "runtime.h"
#include "compat.h"  // PyDict_GetItemRef, annotate_format_served

namespace quill {
namespace {

// New reference to the dict returned by the stored __annotate__ callable
// when called with the format 1, or null with an error set.
PyObject *call_annotate(PyObject *annotate) noexcept {
    Ref format = Ref::steal(PyLong_FromLong(1));
    if (!format)
        return nullptr;
    if (Py_EnterRecursiveCall(" quillfunction __annotations__.__get__"))
        return nullptr;
    // One free slot in front of the argument, as the offset flag promises.
    PyObject *argv[2] = {nullptr, format.get()};
    Ref result = Ref::steal(fast_call(annotate, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    Py_LeaveRecursiveCall();
    if (!result)
        return nullptr;
    if (!PyDict_Check(result.get())) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must return a dict");
        return nullptr;
    }
    return result.release();
}

// True when `value` is this function's own bound placeholder: a builtin
// function of the placeholder's implementation whose self is `func`.
bool is_own_placeholder(PyObject *func, PyObject *value) noexcept {
    if (!PyCFunction_Check(value))
        return false;
    auto *method = reinterpret_cast<PyCFunctionObject *>(value);
    return method->m_ml->ml_meth == function_methods[0].ml_meth && PyCFunction_GET_SELF(value) == func;
}

// New reference to the value of the "__annotate__" entry of the function's
// instance dict (None included) in *result: 1, 0 when there is no dict or no
// such entry, -1 with an error set. The dict is held across the lookup,
// whose key comparisons can run Python code that replaces __dict__.
int lookup_annotate(FunctionObject *f, PyObject **result) noexcept {
    *result = nullptr;
    Ref dict = Ref::borrow(f->func_dict);
    if (!dict)
        return 0;
    return PyDict_GetItemRef(dict.get(), kstr(K___annotate__), result);
}

}  // namespace

// New reference to the annotations dict, or null with an error set.
//
// 1. A filled annotations field is returned as it is.
// 2. Else a stored __annotate__ callable (not None) computes the dict once;
//    it is kept in the field.
// 3. Else the field is filled with a new empty dict.
//
// Looking up and calling __annotate__ can run Python code, and so can
// releasing a field's old value and, on 3.11, allocating (the collector
// may run): a field is read only where no such code ran since, and a
// computed dict is returned under this call's own reference, not read back
// from the field it was stored in.
PyObject *function_get_annotations(PyObject *func, void *) noexcept {
    FunctionObject *f = as_function(func);
    if (f->func_annotations)
        return Py_NewRef(f->func_annotations);
    PyObject *found;
    if (lookup_annotate(f, &found) < 0)
        return nullptr;
    Ref annotate = Ref::steal(found);
    if (annotate && annotate.get() != Py_None) {
        Ref computed = Ref::steal(call_annotate(annotate.get()));
        if (!computed)
            return nullptr;
        Py_XSETREF(f->func_annotations, Py_NewRef(computed.get()));
        return computed.release();
    }
    if (f->func_annotations)
        return Py_NewRef(f->func_annotations);
    Ref empty = Ref::steal(PyDict_New());
    if (!empty)
        return nullptr;
    // On 3.11 the allocation can run the collector, and a finalizer it runs
    // may have stored annotations meanwhile: those are kept.
    if (!f->func_annotations)
        f->func_annotations = empty.release();
    return Py_NewRef(f->func_annotations);
}

// None and deletion empty the field; a dict is stored. A present instance
// dict then records the None override: the stored annotations win over any
// __annotate__ callable from now on.
int function_set_annotations(PyObject *func, PyObject *value, void *) noexcept {
    FunctionObject *f = as_function(func);
    if (!value || value == Py_None) {
        Py_CLEAR(f->func_annotations);
    } else if (PyDict_Check(value)) {
        Py_XSETREF(f->func_annotations, Py_NewRef(value));
    } else {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    if (f->func_dict) {
        Ref dict = Ref::borrow(f->func_dict);
        if (PyDict_SetItem(dict.get(), kstr(K___annotate__), Py_None) < 0)
            return -1;
    }
    return 0;
}

// New reference to the stored override (None included), else a new bound
// placeholder method; null with an error set.
PyObject *function_get_annotate(PyObject *func, void *) noexcept {
    PyObject *annotate;
    int found = lookup_annotate(as_function(func), &annotate);
    if (found < 0)
        return nullptr;
    if (found)
        return annotate;
    return PyCMethod_New(&function_methods[0], func, nullptr, nullptr);
}

// Stores None or a callable as the override; the function's own placeholder
// restores the default instead. A callable empties the annotations field,
// so that the next read computes them from it.
int function_set_annotate(PyObject *func, PyObject *value, void *) noexcept {
    FunctionObject *f = as_function(func);
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    if (is_own_placeholder(func, value)) {
        if (!f->func_dict)
            return 0;
        Ref dict = Ref::borrow(f->func_dict);
        int present = PyDict_Contains(dict.get(), kstr(K___annotate__));
        if (present <= 0)
            return present;
        return PyDict_DelItem(dict.get(), kstr(K___annotate__));
    }
    if (value != Py_None)
        Py_CLEAR(f->func_annotations);
    Ref dict = Ref::steal(PyObject_GenericGetDict(func, nullptr));
    if (!dict)
        return -1;
    return PyDict_SetItem(dict.get(), kstr(K___annotate__), value);
}

// New reference to self's annotations. From 3.14 on only for the formats
// that evaluated annotations serve (compat.h, "Annotate formats"); any other
// raises NotImplementedError, as that version's protocol asks.
PyObject *function_annotate_placeholder(PyObject *self, PyObject *format) noexcept {
    if (!self) {
        PyErr_SetString(PyExc_SystemError, "quill __annotate__ called without 'self' argument");
        return nullptr;
    }
    if (!compat::annotate_format_served(format)) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" in quillfunction annotate"))
        return nullptr;
    PyObject *result = function_get_annotations(self, nullptr);
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace quill
