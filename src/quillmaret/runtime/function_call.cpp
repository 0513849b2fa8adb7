// function_call.cpp: how a function object is called.
//
// A function object gets its vectorcall entry once, at creation, from the
// call kind of its method record. Each entry checks what that kind allows,
// decides where self comes from (the function object, or the first
// positional argument for a method) and calls the native implementation.
// Calls that arrive as a tuple and a dict go through function_call, which
// turns them into a vector call or, for tuple-and-dict implementations,
// dispatches on the call kind.
//
// Used by production: function_vectorcall_fastcall_keywords<false>, the
// initializer's entry, and function_call for tuple-and-dict calls of it.
// Kept for the runtime's contract, reached only by the tests: the other
// call kinds, the METH_METHOD entry and the FUNCTION_FLAG_* (self taken from
// the arguments) paths.
#include "runtime.h"
#include "compat.h"  // PyCFunctionFastWithKeywords
#include "messages.h"

namespace quill {
namespace {

// The implementation as the function pointer type of its call kind.
template <typename Fn>
inline Fn implementation(const FunctionObject *f) noexcept {
    return method_implementation<Fn>(f->m_ml);
}

// The two refusals of a call; the reason is an argument. Out of line, so the
// entries stay short. Always null with TypeError set.
QUILL_NOINLINE QUILL_COLD PyObject *fail_reason(const FunctionObject *f, const char *reason) noexcept {
    PyErr_Format(PyExc_TypeError, messages::FUNCTION_REASON, f->m_ml->ml_name, reason);
    return nullptr;
}

QUILL_NOINLINE QUILL_COLD PyObject *fail_count(const FunctionObject *f, const char *reason,
                                                  Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, messages::FUNCTION_REASON_GIVEN, f->m_ml->ml_name, reason, given);
    return nullptr;
}

QUILL_NOINLINE QUILL_COLD PyObject *fail_call_flags() noexcept {
    PyErr_SetString(PyExc_SystemError, messages::BAD_CALL_FLAGS);
    return nullptr;
}

using messages::NEEDS_AN_ARGUMENT, messages::NO_KEYWORDS, messages::NO_ARGUMENTS, messages::ONE_ARGUMENT;

// ---------------------------------------------------------------------------
// The four vectorcall entries.

// The entries' shared start: self is the function object, or for a method
// the first positional argument, which args and n then skip. False when a
// method gets no argument (no error set: the caller reports it).
inline bool take_self(FunctionObject *f, PyObject *const *&args, Py_ssize_t &n, PyObject *&self) noexcept {
    self = reinterpret_cast<PyObject *>(f);
    if (takes_self_from_args(f)) {
        if (n == 0)
            return false;
        self = args[0];
        ++args;
        --n;
    }
    return true;
}

// METH_NOARGS (COUNT 0) and METH_O (COUNT 1): no keywords, exactly COUNT
// positional arguments after self.
template <int COUNT>
PyObject *function_vectorcall_fixed(PyObject *func, PyObject *const *args, size_t nargsf,
                                    PyObject *kwnames) noexcept {
    static_assert(COUNT == 0 || COUNT == 1);
    FunctionObject *f = as_function(func);
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyObject *self;
    if (!take_self(f, args, n, self))
        return fail_reason(f, NEEDS_AN_ARGUMENT);
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0)
        return fail_reason(f, NO_KEYWORDS);
    if (n != COUNT)
        return fail_count(f, COUNT == 0 ? NO_ARGUMENTS : ONE_ARGUMENT, n);
    return implementation<PyCFunction>(f)(self, COUNT == 0 ? nullptr : args[0]);
}

// METH_FASTCALL | METH_KEYWORDS (the call kind of production's one function
// object, the initializer) and, WITH_CLASS, METH_METHOD on top of it, which
// also passes the defining class.
template <bool WITH_CLASS>
PyObject *function_vectorcall_fastcall_keywords(PyObject *func, PyObject *const *args,
                                                size_t nargsf, PyObject *kwnames) noexcept {
    FunctionObject *f = as_function(func);
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    PyObject *self;
    if (!take_self(f, args, n, self))
        return fail_reason(f, NEEDS_AN_ARGUMENT);
    if constexpr (WITH_CLASS)
        return implementation<PyCMethod>(f)(self, f->mm_class, args, n, kwnames);
    else
        return implementation<PyCFunctionFastWithKeywords>(f)(self, args, n, kwnames);
}

// ---------------------------------------------------------------------------
// Tuple-and-dict calls.

// The argument vector of a tuple-and-dict call turned into a vector call: n
// positional arguments (borrowed), then the values of the keywords taken so
// far (owned). Both are released, and the block freed, when it goes.
class KeywordCallVector {
public:
    KeywordCallVector(PyObject *const *args, Py_ssize_t n, Py_ssize_t k) noexcept
        : items_(static_cast<PyObject **>(PyMem_Malloc(static_cast<size_t>(n + k) * sizeof(PyObject *)))),
          n_(n) {
        if (items_) {
            for (Py_ssize_t i = 0; i < n; ++i)
                items_[i] = args[i];
        }
    }
    ~KeywordCallVector() {
        if (!items_)
            return;
        for (Py_ssize_t i = 0; i < taken_; ++i)
            Py_DECREF(items_[n_ + i]);
        PyMem_Free(items_);
    }
    KeywordCallVector(const KeywordCallVector &) = delete;
    KeywordCallVector &operator=(const KeywordCallVector &) = delete;

    PyObject *const *items() const noexcept { return items_; }  // null when the block could not be had
    Py_ssize_t taken() const noexcept { return taken_; }
    void take_value(PyObject *value) noexcept { items_[n_ + taken_++] = Py_NewRef(value); }

private:
    PyObject **items_;
    Py_ssize_t n_;
    Py_ssize_t taken_ = 0;
};

// New reference: the result of calling `entry` with the n positional
// arguments at `args` and the k >= 1 entries of `kwargs` as keywords, in the
// dict's order; null with an error set. Every entry is collected before the
// keys are checked to be strings.
PyObject *vectorcall_from_dict(PyObject *func, vectorcallfunc entry, PyObject *const *args,
                               Py_ssize_t n, PyObject *kwargs) noexcept {
    const Py_ssize_t k = PyDict_GET_SIZE(kwargs);
    KeywordCallVector vector(args, n, k);
    if (!vector.items())
        return PyErr_NoMemory();
    Ref names = Ref::steal(PyTuple_New(k));
    if (!names)
        return nullptr;
    unsigned long all_str = Py_TPFLAGS_UNICODE_SUBCLASS;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (vector.taken() < k && PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(names.get(), vector.taken(), Py_NewRef(key));
        vector.take_value(value);
        all_str &= Py_TYPE(key)->tp_flags;
    }
    if (!all_str) {
        PyErr_SetString(PyExc_TypeError, messages::KEYWORDS_NOT_STRINGS);
        return nullptr;
    }
    return entry(func, vector.items(), static_cast<size_t>(n), names.get());
}

// New reference: the result of the implementation for a tuple-and-dict
// call, dispatched on the call kind; null with an error set.
PyObject *function_call_by_kind(PyObject *func, PyObject *self, PyObject *args,
                                PyObject *kwargs) noexcept {
    FunctionObject *f = as_function(func);
    const bool keywords = kwargs && PyDict_Size(kwargs) != 0;
    switch (f->m_ml->ml_flags & (METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O)) {
    case METH_VARARGS:
        if (keywords)
            return fail_reason(f, NO_KEYWORDS);
        return implementation<PyCFunction>(f)(self, args);
    case METH_VARARGS | METH_KEYWORDS:
        return implementation<PyCFunctionWithKeywords>(f)(self, args, kwargs);
    case METH_NOARGS:
        if (keywords)
            return fail_reason(f, NO_KEYWORDS);
        if (PyTuple_GET_SIZE(args) != 0)
            return fail_count(f, NO_ARGUMENTS, PyTuple_GET_SIZE(args));
        return implementation<PyCFunction>(f)(self, nullptr);
    case METH_O:
        if (keywords)
            return fail_reason(f, NO_KEYWORDS);
        if (PyTuple_GET_SIZE(args) != 1)
            return fail_count(f, ONE_ARGUMENT, PyTuple_GET_SIZE(args));
        return implementation<PyCFunction>(f)(self, PyTuple_GET_ITEM(args, 0));
    default:
        return fail_call_flags();
    }
}

}  // namespace

vectorcallfunc select_vectorcall(int ml_flags, bool *ok) noexcept {
    *ok = true;
    switch (ml_flags & (METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL |
                        METH_METHOD)) {
    case METH_VARARGS | METH_KEYWORDS:
        return nullptr;
    case METH_NOARGS:
        return function_vectorcall_fixed<0>;
    case METH_O:
        return function_vectorcall_fixed<1>;
    case METH_FASTCALL | METH_KEYWORDS:
        return function_vectorcall_fastcall_keywords<false>;
    case METH_METHOD | METH_FASTCALL | METH_KEYWORDS:
        return function_vectorcall_fastcall_keywords<true>;
    default:
        *ok = false;
        return nullptr;
    }
}

// New reference: the type's call slot.
PyObject *function_call(PyObject *func, PyObject *args, PyObject *kwargs) noexcept {
    FunctionObject *f = as_function(func);
    if (vectorcallfunc entry = f->vectorcall) {
        PyObject *const *items = reinterpret_cast<PyTupleObject *>(args)->ob_item;
        const Py_ssize_t n = PyTuple_GET_SIZE(args);
        if (!kwargs || PyDict_GET_SIZE(kwargs) == 0)
            return entry(func, items, static_cast<size_t>(n), nullptr);
        return vectorcall_from_dict(func, entry, items, n, kwargs);
    }
    if (takes_self_from_args(f)) {
        if (PyTuple_GET_SIZE(args) == 0) {
            PyErr_Format(PyExc_TypeError, messages::UNBOUND_METHOD_REASON, f->func_qualname, NEEDS_AN_ARGUMENT);
            return nullptr;
        }
        Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PY_SSIZE_T_MAX));
        if (!rest)
            return nullptr;
        return function_call_by_kind(func, PyTuple_GET_ITEM(args, 0), rest.get(), kwargs);
    }
    return function_call_by_kind(func, func, args, kwargs);
}

}  // namespace quill
