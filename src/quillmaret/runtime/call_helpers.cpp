// call_helpers.cpp: subtype tests, exception matching, attribute and
// builtins lookups, and the fast call.
//
// Each routine has a fast path for the common case and falls back to the
// interpreter's general entry point. They keep no state of their own; they
// read the builtins module, the empty tuple and the function object type
// from quill_state.
//
// Used by production, all of it: fast_call (the initializer's super(), the
// class statements' calls of __mro_entries__, __prepare__ and the metaclass,
// a stored __annotate__), with is_subtype_of_either and call_builtin_direct
// on its fast path; get_builtin_name (the builtin super, at import);
// get_attribute_no_error (the class statements' __mro_entries__ and
// __prepare__ lookups), with exception_matches on a miss; is_subtype (the
// type test's subclass note).
#include "runtime.h"
#include "compat.h"  // PyObject_GetOptionalAttr

#include <cstring>  // std::memcpy

namespace quill {
namespace {

constexpr const char *RECURSION_WHERE = " while calling a Python object";

// True for a class whose instances are exceptions: obj is a type and that
// type derives from BaseException.
inline bool is_exception_class(PyObject *obj) noexcept {
    return PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_TYPE_SUBCLASS) &&
           PyType_HasFeature(reinterpret_cast<PyTypeObject *>(obj), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

// Whether a base of `t` (t itself included) is one `is_target` accepts. A
// ready type's MRO lists them all; a type not yet readied is followed up
// its chain of tp_base links, then object, the base of all.
template <typename IsTarget>
inline bool any_base(PyTypeObject *t, IsTarget is_target) noexcept {
    if (PyObject *mro = t->tp_mro) {
        const Py_ssize_t n = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (is_target(PyTuple_GET_ITEM(mro, i)))
                return true;
        }
        return false;
    }
    for (PyTypeObject *base = t; base; base = base->tp_base) {
        if (is_target(reinterpret_cast<PyObject *>(base)))
            return true;
    }
    return is_target(reinterpret_cast<PyObject *>(&PyBaseObject_Type));
}

// Native implementations may not return null without an error; turn that
// into the interpreter's SystemError so the failure cannot pass as success.
QUILL_NOINLINE QUILL_COLD void raise_null_without_error() noexcept {
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
}

// Step 5 of fast_call: no arguments and no vectorcall entry; call the type's
// call slot with the shared empty tuple. New reference, or null.
QUILL_NOINLINE QUILL_COLD PyObject *call_slot_without_arguments(PyObject *func) noexcept {
    ternaryfunc call = Py_TYPE(func)->tp_call;
    if (!call)  // not callable: the interpreter raises its own TypeError
        return PyObject_Call(func, quill_state.empty_tuple, nullptr);
    if (Py_EnterRecursiveCall(RECURSION_WHERE))
        return nullptr;
    PyObject *result = call(func, quill_state.empty_tuple, nullptr);
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred())
        raise_null_without_error();
    return result;
}

}  // namespace

// Bases are compared by identity.
int is_subtype(PyTypeObject *a, PyTypeObject *b) noexcept {
    if (a == b)
        return 1;
    auto *target = reinterpret_cast<PyObject *>(b);
    return any_base(a, [target](PyObject *base) { return base == target; });
}

int is_subtype_of_either(PyTypeObject *t, PyTypeObject *a, PyTypeObject *b) noexcept {
    if (t == a || t == b)
        return 1;
    auto *first = reinterpret_cast<PyObject *>(a), *second = reinterpret_cast<PyObject *>(b);
    return any_base(t, [first, second](PyObject *base) { return base == first || base == second; });
}

int exception_matches(PyObject *err, PyObject *spec) noexcept {
    if (err == spec)
        return 1;
    if (is_exception_class(err)) {
        auto *err_type = reinterpret_cast<PyTypeObject *>(err);
        if (is_exception_class(spec))
            return is_subtype(err_type, reinterpret_cast<PyTypeObject *>(spec));
        if (PyTuple_Check(spec)) {
            // Identity first: the common "except (A, B)" hit costs no MRO walk.
            Py_ssize_t n = PyTuple_GET_SIZE(spec);
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (PyTuple_GET_ITEM(spec, i) == err)
                    return 1;
            }
            // Then subclasses; items that are not exception classes
            // (nested tuples among them) are skipped.
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *item = PyTuple_GET_ITEM(spec, i);
                if (is_exception_class(item) &&
                    (item == err || is_subtype(err_type, reinterpret_cast<PyTypeObject *>(item))))
                    return 1;
            }
            return 0;
        }
    }
    return PyErr_GivenExceptionMatches(err, spec);
}

PyObject *get_attribute_no_error(PyObject *obj, PyObject *name) noexcept {
    getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
    // The generic lookup reports a miss without building an exception.
    if (getattro == PyObject_GenericGetAttr) {
        PyObject *result;
        (void)PyObject_GetOptionalAttr(obj, name, &result);
        return result;
    }

    PyObject *result = getattro ? getattro(obj, name) : PyObject_GetAttr(obj, name);
    if (result)
        return result;
    PyObject *exc_type = PyErr_Occurred();
    if (exc_type &&
        (exc_type == PyExc_AttributeError || exception_matches(exc_type, PyExc_AttributeError)))
        PyErr_Clear();
    return nullptr;
}

PyObject *get_builtin_name(PyObject *name) noexcept {
    PyObject *result = get_attribute_no_error(quill_state.builtins, name);
    if (!result && !PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return result;
}

PyObject *call_builtin_direct(PyObject *func, PyObject *arg) noexcept {
    // The function object type shares this record head (checked where the
    // type is defined), so both kinds are read the same way.
    auto *cfunc = reinterpret_cast<PyCFunctionObject *>(func);
    PyCFunction meth = cfunc->m_ml->ml_meth;
    PyObject *self = (cfunc->m_ml->ml_flags & METH_STATIC) ? nullptr : cfunc->m_self;
    if (Py_EnterRecursiveCall(RECURSION_WHERE))
        return nullptr;
    PyObject *result = meth(self, arg);
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred())
        raise_null_without_error();
    return result;
}

PyObject *fast_call(PyObject *func, PyObject *const *args, size_t nargsf) noexcept {
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyTypeObject *type = Py_TYPE(func);

    // 1, 2. No argument or one argument to a native implementation that
    //    takes exactly that: call it directly.
    if (n <= 1 && is_subtype_of_either(type, quill_state.function_type, &PyCFunction_Type)) {
        int flags = reinterpret_cast<PyCFunctionObject *>(func)->m_ml->ml_flags;
        if (n == 0 && (flags & METH_NOARGS))
            return call_builtin_direct(func, nullptr);
        if (n == 1 && (flags & METH_O))
            return call_builtin_direct(func, args[0]);
    }

    // 3. The callee's vectorcall entry, with the count (and its flag) as given.
    vectorcallfunc entry = nullptr;
    if (type == quill_state.function_type) {
        entry = reinterpret_cast<PyCFunctionObject *>(func)->vectorcall;
    } else if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) {
        std::memcpy(&entry, reinterpret_cast<char *>(func) + type->tp_vectorcall_offset,
                    sizeof entry);
    }
    if (entry)
        return entry(func, args, nargsf, nullptr);

    // 4. Arguments but no entry: the interpreter builds what the callee needs.
    if (n != 0)
        return PyObject_VectorcallDict(func, args, nargsf, nullptr);

    // 5. No arguments: the call slot with the shared empty tuple.
    return call_slot_without_arguments(func);
}

}  // namespace quill
