// arguments.cpp: the out-of-line parts of argument binding: keyword
// matching by value, the dictionary form of keywords, and every binding and
// type error, in the interpreter's own wording.
//
// Used by production: the initializer binds (self, status_code, message,
// payload) with it and tests the types of the last three.
#include "arguments.h"

#include "compat.h"  // unicode_ready, PyUnstable_Unicode_GET_CACHED_HASH

#include <cstdint>
#include <cstring>  // std::memcmp

#include "messages.h"

namespace quill {
namespace {

// The hash of an exact str: the cached one, else computed (and cached) by
// PyObject_Hash. -1 only with an error set.
inline Py_hash_t str_hash(PyObject *s) noexcept {
    Py_hash_t hash = PyUnstable_Unicode_GET_CACHED_HASH(s);
    return hash != -1 ? hash : PyObject_Hash(s);
}

// True when the parameter name holds the same text as the exact-str key:
// hash, length and storage kind first, the bytes only when all agree. Never
// runs an equality method.
inline bool same_text(PyObject *name, PyObject *key, Py_hash_t key_hash) noexcept {
    Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    int kind = PyUnicode_KIND(key);
    return str_hash(name) == key_hash && PyUnicode_GET_LENGTH(name) == len &&
           PyUnicode_KIND(name) == kind &&
           std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(key),
                       static_cast<size_t>(len) * static_cast<size_t>(kind)) == 0;
}

QUILL_COLD void raise_unexpected_keyword(const char *funcname, PyObject *key) noexcept {
    PyErr_Format(PyExc_TypeError, messages::UNEXPECTED_KEYWORD, funcname, key);
}

// The dictionary form bound fewer keywords than the dict holds: find the
// key that explains it and report it. Always returns -1 with an error set.
//
// Keys naming no parameter, or a positionally bound one, are reported the
// interpreter's way. A key can also match an eligible name by equality yet
// have escaped the lookup by that name: a str subclass equal to the name
// but hashing differently. Such a key either left its slot empty (it would
// otherwise be dropped silently) or shares a slot with another key; both
// are reported with the key's name, so the call never fails without an
// exception set.
QUILL_COLD int report_unbound_keywords(PyObject *kwdict, Py_ssize_t nargs, ParamNames names,
                                          PyObject *const *values, const char *funcname) noexcept {
    ParamNames first_kw = names + nargs;
    Ref unbound;        // first key whose slot stayed empty
    Ref second;         // first key for a slot another key already claimed
    uint64_t claimed = 0;  // slots claimed by keys seen so far (first 64)
    Py_ssize_t pos = 0;
    PyObject *borrowed_key, *borrowed_value;
    while (PyDict_Next(kwdict, &pos, &borrowed_key, &borrowed_value)) {
        // An equality method run by the match may change the dict.
        Ref key = Ref::borrow(borrowed_key);
        Py_ssize_t index = nargs;
        while (names[index] && *names[index] != key.get())
            ++index;
        if (!names[index]) {
            int found = match_keyword(key.get(), names, first_kw, &index, funcname);
            if (found < 0)
                return -1;
            if (found == 0) {
                raise_unexpected_keyword(funcname, key.get());
                return -1;
            }
            if (!values[index] && !unbound)
                unbound = Ref::borrow(key.get());
        }
        if (index < 64) {
            uint64_t bit = uint64_t{1} << index;
            if ((claimed & bit) && !second)
                second = Ref::borrow(key.get());
            claimed |= bit;
        }
    }
    if (unbound) {
        PyErr_Format(PyExc_TypeError, messages::EQUAL_BUT_HASHED_DIFFERENTLY, funcname, unbound.get());
    } else if (second) {
        raise_multiple_values(funcname, second.get());
    } else {
        PyErr_Format(PyExc_TypeError, messages::KEYWORDS_NOT_BOUND, funcname);
    }
    return -1;
}

}  // namespace

void raise_multiple_values(const char *funcname, PyObject *key) noexcept {
    PyErr_Format(PyExc_TypeError, messages::MULTIPLE_VALUES, funcname, key);
}

void raise_argument_count_error(const char *funcname, Py_ssize_t min, Py_ssize_t max,
                                Py_ssize_t found) noexcept {
    bool too_few = found < min;
    Py_ssize_t expected = too_few ? min : max;
    PyErr_Format(PyExc_TypeError, messages::ARGUMENT_COUNT, funcname, too_few ? "at least" : "at most", expected, expected == 1 ? "" : "s",
                 found);
}

int match_keyword(PyObject *key, ParamNames names, ParamNames first_kw, Py_ssize_t *index,
                  const char *funcname) noexcept {
    if (PyUnicode_CheckExact(key)) {
        // 1. The key's hash, cached in the string once computed.
        if (compat::unicode_ready(key) < 0)
            return -1;
        const Py_hash_t hash = str_hash(key);
        if (hash == -1)
            return -1;
        // 2. The keyword-eligible names.
        for (ParamNames p = first_kw; *p; ++p) {
            if (same_text(**p, key, hash)) {
                *index = p - names;
                return 1;
            }
        }
        // 3. The names already bound positionally.
        for (ParamNames p = names; p != first_kw; ++p) {
            if (same_text(**p, key, hash)) {
                raise_multiple_values(funcname, key);
                return -1;
            }
        }
        return 0;
    }

    // Any other key: it must at least be a string; then compare by value.
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, messages::FUNCTION_REASON, funcname, messages::KEYWORDS_NOT_STRINGS);
        return -1;
    }
    for (ParamNames p = first_kw; *p; ++p) {
        int eq = PyObject_RichCompareBool(**p, key, Py_EQ);
        if (eq != 0) {
            if (eq > 0)
                *index = p - names;
            return eq;
        }
    }
    for (ParamNames p = names; p != first_kw; ++p) {
        int eq = PyObject_RichCompareBool(**p, key, Py_EQ);
        if (eq < 0)
            return -1;
        if (eq > 0) {
            raise_multiple_values(funcname, key);
            return -1;
        }
    }
    return 0;
}

int bind_keyword_slow(PyObject *key, PyObject *value, Py_ssize_t nargs, ParamNames names,
                      PyObject **values, const char *funcname) noexcept {
    Py_ssize_t index;
    int found = match_keyword(key, names, names + nargs, &index, funcname);
    if (found < 0)
        return -1;
    if (found == 0) {
        raise_unexpected_keyword(funcname, key);
        return -1;
    }
    // A key equal to a name already given (by identity or by value) would
    // drop the first value: refuse it.
    if (values[index]) {
        raise_multiple_values(funcname, key);
        return -1;
    }
    values[index] = Py_NewRef(value);
    return 0;
}

int bind_keyword_dict(PyObject *kwdict, Py_ssize_t nargs, ParamNames names, PyObject **values,
                      const char *funcname) noexcept {
    assert(PyDict_Check(kwdict));
    // 1. Every key must be a string.
    if (!PyArg_ValidateKeywordArguments(kwdict))
        return -1;
    // 2. Look each eligible name up once, until every keyword is bound.
    Py_ssize_t nkw = PyDict_GET_SIZE(kwdict);
    Py_ssize_t bound = 0;
    for (Py_ssize_t i = nargs; names[i] && bound < nkw; ++i) {
        PyObject *value = PyDict_GetItemWithError(kwdict, *names[i]);  // borrowed
        if (value) {
            values[i] = Py_NewRef(value);
            ++bound;
        } else if (PyErr_Occurred()) {
            return -1;
        }
    }
    // 3. Some key was not bound: find and report it.
    if (bound < nkw)
        return report_unbound_keywords(kwdict, nargs, names, values, funcname);
    return 0;
}

int raise_argument_type_error(PyObject *obj, PyTypeObject *type, const char *name) noexcept {
    if (!type) {
        PyErr_SetString(PyExc_SystemError, messages::MISSING_TYPE);
        return 0;
    }
    // A subclass of the expected type is refused too, with the note saying why.
    PyTypeObject *actual = Py_TYPE(obj);
    const bool subclass = is_subtype(actual, type);
    PyErr_Format(PyExc_TypeError, messages::INCORRECT_TYPE, name, type->tp_name, actual->tp_name, subclass ? ". " : "",
                 subclass ? kstr(K_SUBCLASS_NOTE) : quill_state.empty_str);
    return 0;
}

}  // namespace quill
