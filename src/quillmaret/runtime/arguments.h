// arguments.h: binding the arguments of a fast call to a parameter list,
// and the type test of a bound argument.
//
// The common path (positional arguments, keyword names that are the
// interned parameter names themselves, an argument of the exact type) is
// inline here, for the entry routines that bind at their start; the
// dictionary form, the slow keyword match and every error report live out
// of line in arguments.cpp.
#pragma once

#include "runtime.h"

namespace quill {

// names: null-terminated array of pointers to quill_state.strings slots (ParamNames in runtime.h).
// kw: null, a tuple of keyword names (values follow the nargs positionals in args), or a dict.
// values[0..max) are null on entry; each bound slot gets a new reference. Does steps 1-4 of the binder
// (count checks, positional binding, keyword pass). 0, or -1 with an error set (bound slots stay for
// the caller to release).
inline int bind_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kw, ParamNames names,
                          PyObject **values, Py_ssize_t min, Py_ssize_t max,
                          const char *funcname) noexcept;
// Step 5, after the caller filled the defaults: the first empty required slot from nargs to min-1
// raises the count error with its position. 0, or -1.
inline int check_required(PyObject *const *values, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max,
                          const char *funcname) noexcept;
// 1 with *index set, 0 for no match, -1 with an error set.
int match_keyword(PyObject *key, ParamNames names, ParamNames first_kw, Py_ssize_t *index,
                  const char *funcname) noexcept;
void raise_argument_count_error(const char *funcname, Py_ssize_t min, Py_ssize_t max,
                                Py_ssize_t found) noexcept;
// 1 when obj passes; 0 with TypeError (or SystemError for a missing type) set.
inline int check_argument_type(PyObject *obj, PyTypeObject *type, int none_allowed,
                               const char *name) noexcept;

// ---------------------------------------------------------------------------
// Out-of-line parts (arguments.cpp).

// Step 4: the keyword pass for a dict of keywords. 0, or -1 with an error set.
int bind_keyword_dict(PyObject *kwdict, Py_ssize_t nargs, ParamNames names, PyObject **values,
                      const char *funcname) noexcept;
// The keyword pass for one key of the tuple form that is not an eligible
// name itself. 0 with values[slot] filled, or -1 with an error set.
int bind_keyword_slow(PyObject *key, PyObject *value, Py_ssize_t nargs, ParamNames names,
                      PyObject **values, const char *funcname) noexcept;
// TypeError messages::MULTIPLE_VALUES.
void raise_multiple_values(const char *funcname, PyObject *key) noexcept;
// The type test's failure: TypeError (with the subclass note when obj's
// type derives from type), or SystemError for a missing type. Returns 0.
int raise_argument_type_error(PyObject *obj, PyTypeObject *type, const char *name) noexcept;

// ---------------------------------------------------------------------------

inline int bind_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kw, ParamNames names,
                          PyObject **values, Py_ssize_t min, Py_ssize_t max,
                          const char *funcname) noexcept {
    bool kw_tuple = false;
    Py_ssize_t nkw = 0;
    if (kw) {
        kw_tuple = PyTuple_Check(kw);
        nkw = kw_tuple ? PyTuple_GET_SIZE(kw) : PyDict_GET_SIZE(kw);
    }
    // 1, 2. The positional count: without keywords every required
    //    parameter must come positionally; with keywords only the maximum
    //    counts here, before any keyword is looked at.
    if ((nkw == 0 && nargs < min) || nargs > max) {
        raise_argument_count_error(funcname, min, max, nargs);
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        values[i] = Py_NewRef(args[i]);
    if (nkw == 0)
        return 0;
    if (!kw_tuple)
        return bind_keyword_dict(kw, nargs, names, values, funcname);

    // 3. Tuple form: the k-th name's value follows the positionals. A name
    //    that is an eligible parameter's interned string binds at once.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kw, k);
        PyObject *value = args[nargs + k];
        Py_ssize_t slot = nargs;
        while (names[slot] && *names[slot] != key)
            ++slot;
        if (!names[slot]) {
            if (bind_keyword_slow(key, value, nargs, names, values, funcname) < 0)
                return -1;
            continue;
        }
        // A name given twice would drop the first value: refuse it.
        if (values[slot]) {
            raise_multiple_values(funcname, key);
            return -1;
        }
        values[slot] = Py_NewRef(value);
    }
    return 0;
}

inline int check_required(PyObject *const *values, Py_ssize_t nargs, Py_ssize_t min, Py_ssize_t max,
                          const char *funcname) noexcept {
    for (Py_ssize_t i = nargs; i < min; ++i) {
        if (!values[i]) {
            raise_argument_count_error(funcname, min, max, i);
            return -1;
        }
    }
    return 0;
}

inline int check_argument_type(PyObject *obj, PyTypeObject *type, int none_allowed,
                               const char *name) noexcept {
    if ((none_allowed && obj == Py_None) || Py_TYPE(obj) == type)
        return 1;
    return raise_argument_type_error(obj, type, name);
}

}  // namespace quill
