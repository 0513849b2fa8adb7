// function_hooks.cpp: function objects of every call kind, the call paths,
// the annotation placeholder and the shared type registry, for the tests.
//
// The "echo" implementations return a tuple of exactly what arrived (self,
// the defining class, the arguments, the count, the keyword names), so a
// test sees what each call path handed over.
#include "testhooks.h"

#include "runtime/compat.h"  // PyMemberDef on 3.11, dict_set_default

#include <climits>  // INT_MIN, INT_MAX
#include <cstring>  // strcmp

using namespace quill;

namespace {

// ---------------------------------------------------------------------------
// Echo implementations, one per call kind.

inline PyObject *or_none(PyObject *o) noexcept { return o ? o : Py_None; }

// New reference: a tuple of the n objects at args.
PyObject *tuple_of(PyObject *const *args, Py_ssize_t n) noexcept {
    if (n < 0) {
        PyErr_Format(PyExc_SystemError, "the implementation received the count %zd", n);
        return nullptr;
    }
    PyObject *t = PyTuple_New(n);
    if (!t)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(t, i, Py_NewRef(args[i]));
    return t;
}

PyObject *echo_noargs(PyObject *self, PyObject *arg) {
    return Py_BuildValue("(sOO)", "noargs", self, arg ? Py_True : Py_False);
}

PyObject *echo_o(PyObject *self, PyObject *arg) {
    return Py_BuildValue("(sOO)", "o", self, or_none(arg));
}

// ("fastcall_keywords", self, positional, nargs, kwnames, keyword values)
PyObject *echo_fastcall_keywords(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames) {
    Ref positional = Ref::steal(tuple_of(args, nargs));
    if (!positional)
        return nullptr;
    Ref values = Ref::steal(tuple_of(args + nargs, kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
    if (!values)
        return nullptr;
    return Py_BuildValue("(sOOnOO)", "fastcall_keywords", self, positional.get(), nargs,
                         or_none(kwnames), values.get());
}

// ("method", self, defining class, positional, nargs, kwnames, keyword values)
PyObject *echo_method(PyObject *self, PyTypeObject *cls, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) {
    Ref positional = Ref::steal(tuple_of(args, nargs));
    if (!positional)
        return nullptr;
    Ref values = Ref::steal(tuple_of(args + nargs, kwnames ? PyTuple_GET_SIZE(kwnames) : 0));
    if (!values)
        return nullptr;
    return Py_BuildValue("(sOOOnOO)", "method", self, or_none(reinterpret_cast<PyObject *>(cls)),
                         positional.get(), nargs, or_none(kwnames), values.get());
}

PyObject *echo_varargs(PyObject *self, PyObject *args) {
    return Py_BuildValue("(sOO)", "varargs", self, args);
}

PyObject *echo_varargs_keywords(PyObject *self, PyObject *args, PyObject *kwargs) {
    return Py_BuildValue("(sOOO)", "varargs_keywords", self, args, or_none(kwargs));
}

// Never called: its kind is refused at creation.
PyObject *echo_fastcall(PyObject *, PyObject *const *, Py_ssize_t) {
    PyErr_SetString(PyExc_AssertionError, "a refused call kind was called");
    return nullptr;
}

// Returns null without setting an error.
PyObject *null_result(PyObject *, PyObject *) { return nullptr; }

// The static method records the function objects point to.
PyMethodDef records[] = {
    {"echo_noargs", echo_noargs, METH_NOARGS, nullptr},
    {"echo_o", echo_o, METH_O, nullptr},
    {"echo_o_static", echo_o, METH_O | METH_STATIC, nullptr},
    {"echo_fastcall_keywords", QUILL_AS_PYCFUNCTION(echo_fastcall_keywords), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"echo_method", QUILL_AS_PYCFUNCTION(echo_method), METH_METHOD | METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"echo_varargs", echo_varargs, METH_VARARGS, nullptr},
    {"echo_varargs_keywords", QUILL_AS_PYCFUNCTION(echo_varargs_keywords), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"echo_fastcall", QUILL_AS_PYCFUNCTION(echo_fastcall), METH_FASTCALL, nullptr},
    {"echo_documented", echo_noargs, METH_NOARGS, "Echoes what it received."},
    {"null_result", null_result, METH_NOARGS, nullptr},
};

// Borrowed pointer to the record named `name`, or null with ValueError set.
PyMethodDef *find_record(const char *name) noexcept {
    for (PyMethodDef &r : records) {
        if (strcmp(r.ml_name, name) == 0)
            return &r;
    }
    PyErr_Format(PyExc_ValueError, "no method record %s", name);
    return nullptr;
}

// 0 with *f set when obj is a function object, else -1 with TypeError set.
int as_function(PyObject *obj, FunctionObject **f) noexcept {
    if (!PyObject_TypeCheck(obj, quill_state.function_type)) {
        PyErr_SetString(PyExc_TypeError, "expected a quill function object");
        return -1;
    }
    *f = reinterpret_cast<FunctionObject *>(obj);
    return 0;
}

// ---------------------------------------------------------------------------
// Hooks.

// make_function(record, flags=0, qualname=record, module=None, closure=None,
//               code=None, globals=this module's dict)
PyObject *hook_make_function(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"record", "flags", "qualname", "module", "closure", "code",
                                   "globals", nullptr};
    const char *name;
    int flags = 0;
    PyObject *qualname = nullptr, *module = nullptr, *closure = nullptr, *code = nullptr;
    PyObject *globals = quill_state.module_dict;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|iUOOOO!:make_function",
                                     const_cast<char **>(kwlist), &name, &flags, &qualname, &module,
                                     &closure, &code, &PyDict_Type, &globals))
        return nullptr;
    PyMethodDef *ml = find_record(name);
    if (!ml)
        return nullptr;
    Ref default_qualname;
    if (!qualname) {
        default_qualname = Ref::steal(PyUnicode_FromString(name));
        if (!default_qualname)
            return nullptr;
        qualname = default_qualname.get();
    }
    return function_new(ml, flags, qualname, closure, module, globals, code);
}

// vectorcall(f, args, kwnames=None, offset=False): calls f's vectorcall
// entry with the vector `args` (positional arguments, then the keyword
// values), optionally with a free slot in front and the offset flag.
PyObject *hook_vectorcall(PyObject *, PyObject *args) {
    PyObject *func, *items, *kwnames = Py_None;
    int offset = 0;
    if (!PyArg_ParseTuple(args, "OO!|Op:vectorcall", &func, &PyTuple_Type, &items, &kwnames, &offset))
        return nullptr;
    FunctionObject *f;
    if (as_function(func, &f) < 0)
        return nullptr;
    if (!f->vectorcall) {
        PyErr_SetString(PyExc_TypeError, "the function has no vectorcall entry");
        return nullptr;
    }
    if (kwnames != Py_None && !PyTuple_Check(kwnames)) {
        PyErr_SetString(PyExc_TypeError, "kwnames must be a tuple or None");
        return nullptr;
    }
    const Py_ssize_t total = PyTuple_GET_SIZE(items);
    const Py_ssize_t nkw = kwnames == Py_None ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw > total) {
        PyErr_SetString(PyExc_ValueError, "more keyword names than values");
        return nullptr;
    }
    auto *vector = static_cast<PyObject **>(PyMem_Malloc(static_cast<size_t>(total + 1) * sizeof(PyObject *)));
    if (!vector)
        return PyErr_NoMemory();
    vector[0] = Py_None;
    for (Py_ssize_t i = 0; i < total; ++i)
        vector[i + 1] = PyTuple_GET_ITEM(items, i);
    size_t nargsf = static_cast<size_t>(total - nkw);
    if (offset)
        nargsf |= PY_VECTORCALL_ARGUMENTS_OFFSET;
    PyObject *result = f->vectorcall(func, vector + 1, nargsf, kwnames == Py_None ? nullptr : kwnames);
    PyMem_Free(vector);
    return result;
}

// call_tuple(f, args, kwargs=None): the type's call slot with exactly this
// tuple and dict (None for no dict).
PyObject *hook_call_tuple(PyObject *, PyObject *args) {
    PyObject *func, *items, *kwargs = Py_None;
    if (!PyArg_ParseTuple(args, "OO!|O:call_tuple", &func, &PyTuple_Type, &items, &kwargs))
        return nullptr;
    FunctionObject *f;
    if (as_function(func, &f) < 0)
        return nullptr;
    if (kwargs != Py_None && !PyDict_Check(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "kwargs must be a dict or None");
        return nullptr;
    }
    return function_call(func, items, kwargs == Py_None ? nullptr : kwargs);
}

// set_defining_class(f, cls or None)
PyObject *hook_set_defining_class(PyObject *, PyObject *args) {
    PyObject *func, *cls;
    if (!PyArg_ParseTuple(args, "OO:set_defining_class", &func, &cls))
        return nullptr;
    FunctionObject *f;
    if (as_function(func, &f) < 0)
        return nullptr;
    if (cls != Py_None && !PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "cls must be a type or None");
        return nullptr;
    }
    Py_XSETREF(f->mm_class, cls == Py_None ? nullptr : reinterpret_cast<PyTypeObject *>(Py_NewRef(cls)));
    Py_RETURN_NONE;
}

// set_method_record(f, record): points f at another method record and
// keeps its vectorcall entry, to reach the tuple-call dispatch with kinds
// that creation would not pair with an empty entry.
PyObject *hook_set_method_record(PyObject *, PyObject *args) {
    PyObject *func;
    const char *name;
    if (!PyArg_ParseTuple(args, "Os:set_method_record", &func, &name))
        return nullptr;
    FunctionObject *f;
    if (as_function(func, &f) < 0)
        return nullptr;
    PyMethodDef *ml = find_record(name);
    if (!ml)
        return nullptr;
    f->m_ml = ml;
    Py_RETURN_NONE;
}

// The defaults getter installed by set_defaults_getter: calls the Python
// callable with the function object.
PyObject *defaults_callable = nullptr;

PyObject *call_defaults_callable(PyObject *function) {
    return PyObject_CallOneArg(defaults_callable, function);
}

// set_defaults_getter(f, callable or None)
PyObject *hook_set_defaults_getter(PyObject *, PyObject *args) {
    PyObject *func, *callable;
    if (!PyArg_ParseTuple(args, "OO:set_defaults_getter", &func, &callable))
        return nullptr;
    FunctionObject *f;
    if (as_function(func, &f) < 0)
        return nullptr;
    if (callable == Py_None) {
        f->defaults_getter = nullptr;
    } else {
        Py_XSETREF(defaults_callable, Py_NewRef(callable));
        f->defaults_getter = call_defaults_callable;
    }
    Py_RETURN_NONE;
}

// select_vectorcall(ml_flags): (accepted, entry address or None)
PyObject *hook_select_vectorcall(PyObject *, PyObject *arg) {
    // long long: Windows' long is 32 bits, and the range check below would
    // then never see a value past int's.
    long long value = PyLong_AsLongLong(arg);
    if (value == -1 && PyErr_Occurred())
        return nullptr;
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return nullptr;
    }
    int ml_flags = static_cast<int>(value);
    bool ok = false;
    vectorcallfunc entry = select_vectorcall(ml_flags, &ok);
    Ref address = entry ? Ref::steal(PyLong_FromVoidPtr(reinterpret_cast<void *>(entry)))
                        : Ref::borrow(Py_None);
    if (!address)
        return nullptr;
    return Py_BuildValue("(OO)", ok ? Py_True : Py_False, address.get());
}

// vectorcall_entry(f): the address of f's vectorcall entry, or None.
PyObject *hook_vectorcall_entry(PyObject *, PyObject *func) {
    FunctionObject *f;
    if (as_function(func, &f) < 0)
        return nullptr;
    if (!f->vectorcall)
        Py_RETURN_NONE;
    return PyLong_FromVoidPtr(reinterpret_cast<void *>(f->vectorcall));
}

// annotate_placeholder_without_self(): the placeholder with a null self.
PyObject *hook_annotate_placeholder_without_self(PyObject *, PyObject *) {
    return function_annotate_placeholder(nullptr, Py_None);
}

// Runs `read` on f with the recursion budget used up, so that the first
// recursion guard inside it trips.
// Enters the recursion guard one C frame deeper each time until it trips,
// then runs read there. A guard that counts entries (up to 3.13) and one
// that measures the C stack (3.14 on) both trip this way.
PyObject *read_beyond_limit(PyObject *func, PyObject *(*read)(PyObject *)) {
    if (Py_EnterRecursiveCall("") != 0) {
        PyErr_Clear();
        return read(func);
    }
    PyObject *result = read_beyond_limit(func, read);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject *at_recursion_limit(PyObject *func, PyObject *(*read)(PyObject *)) {
    FunctionObject *f;
    if (as_function(func, &f) < 0)
        return nullptr;
    return read_beyond_limit(func, read);
}

PyObject *read_annotations(PyObject *func) { return function_get_annotations(func, nullptr); }
PyObject *run_placeholder(PyObject *func) {
    PyObject *value_format = PyLong_FromLong(1);  // annotationlib.Format.VALUE
    if (!value_format)
        return nullptr;
    PyObject *result = function_annotate_placeholder(func, value_format);
    Py_DECREF(value_format);
    return result;
}

PyObject *hook_annotations_at_recursion_limit(PyObject *, PyObject *func) {
    return at_recursion_limit(func, read_annotations);
}

PyObject *hook_placeholder_at_recursion_limit(PyObject *, PyObject *func) {
    return at_recursion_limit(func, run_placeholder);
}

// fetch_shared_type(full_name, basicsize, metatype=None): the registry
// fetch with a plain spec of that name and size, and no bases.
PyObject *hook_fetch_shared_type(PyObject *, PyObject *args) {
    const char *name;
    int basicsize;
    PyObject *metatype = Py_None;
    if (!PyArg_ParseTuple(args, "si|O:fetch_shared_type", &name, &basicsize, &metatype))
        return nullptr;
    if (metatype != Py_None && !PyType_Check(metatype)) {
        PyErr_SetString(PyExc_TypeError, "metatype must be a type or None");
        return nullptr;
    }
    PyType_Slot slots[] = {{0, nullptr}};
    PyType_Spec spec = {
        .name = name,
        .basicsize = basicsize,
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = slots,
    };
    auto *meta = metatype == Py_None ? nullptr : reinterpret_cast<PyTypeObject *>(metatype);
    return reinterpret_cast<PyObject *>(fetch_shared_type(meta, &spec, nullptr));
}

// register_function_type_variant(drop_flags, member=None, shift=0): the
// registry fetch with a copy of the function object type's description
// whose flags lack drop_flags and whose offset member (one of
// "__dictoffset__", "__vectorcalloffset__", "__weaklistoffset__") is moved
// by shift bytes, with the shared metatype. With "quill_function_or_method"
// emptied beforehand, the variant is registered under it in its place.
PyObject *hook_register_function_type_variant(PyObject *, PyObject *args) {
    unsigned long drop_flags;
    const char *member = nullptr;
    Py_ssize_t shift = 0;
    if (!PyArg_ParseTuple(args, "k|zn:register_function_type_variant", &drop_flags, &member, &shift))
        return nullptr;
    PyType_Slot slots[16];
    PyMemberDef members[8];
    int n = 0;
    for (const PyType_Slot *slot = function_type_spec.slots; slot->slot; ++slot) {
        if (n == 15) {
            PyErr_SetString(PyExc_SystemError, "too many slots");
            return nullptr;
        }
        slots[n] = *slot;
        if (slot->slot == Py_tp_members) {
            int m = 0;
            bool moved = member == nullptr;
            for (const auto *def = static_cast<PyMemberDef *>(slot->pfunc); def->name; ++def) {
                if (m == 7) {
                    PyErr_SetString(PyExc_SystemError, "too many members");
                    return nullptr;
                }
                members[m] = *def;
                if (member && strcmp(def->name, member) == 0) {
                    members[m].offset += shift;
                    moved = true;
                }
                ++m;
            }
            if (!moved) {
                PyErr_Format(PyExc_ValueError, "no member %s", member);
                return nullptr;
            }
            members[m] = {nullptr, 0, 0, 0, nullptr};
            slots[n].pfunc = members;
        }
        ++n;
    }
    slots[n] = {0, nullptr};
    PyType_Spec spec = function_type_spec;
    spec.flags &= ~static_cast<unsigned int>(drop_flags);
    spec.slots = slots;
    return reinterpret_cast<PyObject *>(fetch_shared_type(quill_state.metatype, &spec, nullptr));
}

// dict_set_default(d, key, value): the registry's set-default. Returns the
// value stored under key.
PyObject *hook_dict_set_default(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_positional("dict_set_default", nargs, 3, 3))
        return nullptr;
    return Py_XNewRef(compat::dict_set_default(args[0], args[1], args[2]));
}

// check_shared_type(obj, short_name, expected_size): a size of 0 is not
// compared, a positive one must be met exactly, a negative one at least in
// its absolute value.
PyObject *hook_check_shared_type(PyObject *, PyObject *args) {
    PyObject *obj;
    const char *name;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "Osn:check_shared_type", &obj, &name, &size))
        return nullptr;
    const SizeRule rule = size == 0 ? SizeRule::ANY : size > 0 ? SizeRule::EXACT : SizeRule::AT_LEAST;
    if (check_shared_type(obj, name, rule, size < 0 ? -size : size) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// clear_function(f) -> None: runs the type's clear slot on f, as the
// collector does before it frees a cycle.
PyObject *hook_clear_function(PyObject *, PyObject *f) {
    if (Py_TYPE(f) != quill_state.function_type) {
        PyErr_SetString(PyExc_TypeError, "expected a function object");
        return nullptr;
    }
    Py_TYPE(f)->tp_clear(f);
    Py_RETURN_NONE;
}

// The benchmark's implementation: returns its first argument (or None).
PyObject *bench_impl(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *) {
    return Py_NewRef(nargs ? args[0] : Py_None);
}

PyMethodDef bench_record = {"bench", QUILL_AS_PYCFUNCTION(bench_impl), METH_FASTCALL | METH_KEYWORDS, nullptr};

// bench_functions(): (function object, builtin function), both calling the
// same implementation through the same method record.
PyObject *hook_bench_functions(PyObject *, PyObject *) {
    Ref qualname = Ref::steal(PyUnicode_FromString("bench"));
    if (!qualname)
        return nullptr;
    Ref ours = Ref::steal(function_new(&bench_record, 0, qualname.get(), nullptr, nullptr,
                                       quill_state.module_dict, nullptr));
    if (!ours)
        return nullptr;
    Ref builtin = Ref::steal(PyCFunction_NewEx(&bench_record, nullptr, nullptr));
    if (!builtin)
        return nullptr;
    return PyTuple_Pack(2, ours.get(), builtin.get());
}

PyMethodDef function_hooks[] = {
    {"make_function", QUILL_AS_PYCFUNCTION(hook_make_function), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"vectorcall", hook_vectorcall, METH_VARARGS, nullptr},
    {"call_tuple", hook_call_tuple, METH_VARARGS, nullptr},
    {"set_defining_class", hook_set_defining_class, METH_VARARGS, nullptr},
    {"set_method_record", hook_set_method_record, METH_VARARGS, nullptr},
    {"set_defaults_getter", hook_set_defaults_getter, METH_VARARGS, nullptr},
    {"select_vectorcall", hook_select_vectorcall, METH_O, nullptr},
    {"vectorcall_entry", hook_vectorcall_entry, METH_O, nullptr},
    {"annotate_placeholder_without_self", hook_annotate_placeholder_without_self, METH_NOARGS, nullptr},
    {"annotations_at_recursion_limit", hook_annotations_at_recursion_limit, METH_O, nullptr},
    {"placeholder_at_recursion_limit", hook_placeholder_at_recursion_limit, METH_O, nullptr},
    {"fetch_shared_type", hook_fetch_shared_type, METH_VARARGS, nullptr},
    {"register_function_type_variant", hook_register_function_type_variant, METH_VARARGS, nullptr},
    {"check_shared_type", hook_check_shared_type, METH_VARARGS, nullptr},
    {"dict_set_default", QUILL_AS_PYCFUNCTION(hook_dict_set_default), METH_FASTCALL, nullptr},
    {"clear_function", hook_clear_function, METH_O, nullptr},
    {"bench_functions", hook_bench_functions, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testhooks_init_function(PyObject *m) {
    if (PyModule_AddFunctions(m, function_hooks) < 0)
        return -1;
    if (PyModule_AddIntConstant(m, "FUNCTION_FLAG_STATIC", FUNCTION_FLAG_STATIC) < 0 ||
        PyModule_AddIntConstant(m, "FUNCTION_FLAG_METHOD", FUNCTION_FLAG_METHOD) < 0)
        return -1;
    return 0;
}
