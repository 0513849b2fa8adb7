// compat.h: everything that depends on the interpreter's version.
//
// The module builds from one source for CPython 3.11 to 3.15. Each construct
// below that differs between them lives here and nowhere else; each entry
// says which versions need the special form and which public API serves the
// others. Only the files that need an entry include this header.
//
// Checked on 3.14 and 3.15 (Debian's builds, with the release and the debug
// ABI), for every private or layout-dependent name the module uses:
// - the private names (`_PyThreadState_UncheckedGet`,
//   `_PyCFunctionFastWithKeywords`, `_PyObject_GenericGetAttrWithDict`,
//   `_PyUnicode_FastCopyCharacters`, `_PyDict_SetItem_KnownHash`,
//   `_PyDict_GetItem_KnownHash`, the dict version tag `ma_version_tag`, the
//   3.11 frame record) serve 3.11 or 3.12 only; 3.13 and later take public or
//   unstable-API names (`PyThreadState_GetUnchecked`,
//   `PyCFunctionFastWithKeywords`, `PyObject_GetOptionalAttr`,
//   `PyUnicode_CopyCharacters`, `PyDict_SetItem`, `PyDict_GetItemRef`,
//   `PyImport_AddModuleRef`, `PyUnstable_Code_NewWithPosOnlyArgs`), all
//   still declared by 3.15's headers;
// - the layouts the module reads (`PyCFunctionObject`, which the function
//   object mirrors and static_asserts against, and the string header's hash
//   field) are unchanged in 3.14 and 3.15; 3.15 adds an accessor for the
//   latter, used there (entry "Strings");
// - a type made from a spec may not have a metatype with a custom `tp_new`
//   (`PyType_FromMetaclass` warns from 3.12 on and fails with TypeError from
//   3.14 on). The shared metatype has one (it refuses instantiation with the
//   interpreter's own words), so the registry never hands it to
//   `PyType_FromMetaclass`: it creates the type with `type` as its metatype
//   and then sets the shared metatype on it (type_registry.cpp), which every
//   version accepts;
// - the initializer's location table has the same format in 3.11 to 3.15,
//   and a new frame still reports its empty code object's first line.
// 3.14 makes annotations lazy (PEP 649/749) and calls `__annotate__` with a
// format: entry "Annotate formats".
//
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000
#error "quillmaret._m3 needs CPython 3.11 or later"
#endif

// 3.11 only: the frame record, for its f_lineno field (see "Traceback frames").
#if PY_VERSION_HEX < 0x030C0000
#include <frameobject.h>
#define Py_BUILD_CORE
#include "internal/pycore_frame.h"  // struct _frame (f_lineno)
#undef Py_BUILD_CORE
#endif

namespace quill::compat {

// ---------------------------------------------------------------------------
// Thread state.
// 3.11, 3.12: `_PyThreadState_UncheckedGet`. 3.13+: its public name
// `PyThreadState_GetUnchecked`.
inline PyThreadState *thread_state() noexcept {
#if PY_VERSION_HEX < 0x030D0000
    return _PyThreadState_UncheckedGet();
#else
    return PyThreadState_GetUnchecked();
#endif
}

// ---------------------------------------------------------------------------
// The pending error.
// 3.11: three fields of the thread state (type, value, traceback), read and
// written directly: no call, no normalisation. 3.12+: one exception object,
// through the public `PyErr_GetRaisedException` / `PyErr_SetRaisedException`.

// The type of the pending error, or null. Borrowed reference.
// 3.12+: `PyErr_Occurred`, which reads the type of the one current exception.
inline PyObject *pending_error_type() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return thread_state()->curexc_type;
#else
    return PyErr_Occurred();
#endif
}

// The pending error, taken out of the thread state and owned by this record.
struct PendingError {
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type, *value, *tb;  // owned, each may be null

    static PendingError take() noexcept {
        PyThreadState *tstate = thread_state();
        PendingError e{tstate->curexc_type, tstate->curexc_value, tstate->curexc_traceback};
        tstate->curexc_type = tstate->curexc_value = tstate->curexc_traceback = nullptr;
        return e;
    }
    // Makes this the pending error again, dropping whatever is pending now.
    void restore() noexcept {
        PendingError stray = take();
        PyThreadState *tstate = thread_state();
        tstate->curexc_type = type;
        tstate->curexc_value = value;
        tstate->curexc_traceback = tb;
        stray.drop();
    }
    void drop() noexcept {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
    }
#else
    PyObject *exc;  // owned, may be null

    static PendingError take() noexcept { return PendingError{PyErr_GetRaisedException()}; }
    // Makes this the pending error again, dropping whatever is pending now.
    void restore() noexcept { PyErr_SetRaisedException(exc); }
    void drop() noexcept { Py_XDECREF(exc); }
#endif
};

// ---------------------------------------------------------------------------
// Module table.
// The module registered under `name`, created empty if there is none. New
// reference, or null with an error set.
// 3.11, 3.12: `PyImport_AddModule`, which returns a borrowed reference.
// 3.13+: `PyImport_AddModuleRef`, its replacement (the old function
// makes and drops a weak reference on every call to produce a borrowed one).
inline PyObject *add_module(const char *name) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    return Py_XNewRef(PyImport_AddModule(name));
#else
    return PyImport_AddModuleRef(name);
#endif
}

// ---------------------------------------------------------------------------
// Attribute lookup that may miss.
// 3.11, 3.12: `_PyObject_GenericGetAttrWithDict` with suppress=1, the generic
// lookup that reports a miss without building an AttributeError. 3.13+: the
// public `PyObject_GetOptionalAttr`, which takes that same road for a type
// with the generic getattro.
// New reference, or null; null with no error set means "no such attribute".
inline PyObject *generic_getattr_no_error(PyObject *obj, PyObject *name) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
#else
    PyObject *result = nullptr;
    (void)PyObject_GetOptionalAttr(obj, name, &result);
    return result;
#endif
}

// ---------------------------------------------------------------------------
// Strings.

// Makes a string's canonical representation ready. 0, or -1 with an error.
// 3.11: `PyUnicode_READY` (a legacy string may not be ready yet). 3.12+: the
// legacy representation is gone and every string is ready.
inline int unicode_ready(PyObject *s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s);
#else
    (void)s;
    return 0;
#endif
}

// The hash a str caches once it is computed, or -1 when it has none yet.
// 3.11 to 3.14: the hash field of the string's header. 3.15+:
// `PyUnstable_Unicode_GET_CACHED_HASH`, the accessor 3.15 adds for that
// field (an inline read of it; an atomic one in a free-threaded build).
inline Py_hash_t str_cached_hash(PyObject *s) noexcept {
#if PY_VERSION_HEX < 0x030F0000
    return reinterpret_cast<PyASCIIObject *>(s)->hash;
#else
    return PyUnstable_Unicode_GET_CACHED_HASH(s);
#endif
}

// Copies n characters of `from` (from index 0) into `to` at `at`, widening
// them to the kind of `to`; the caller made `to` wide enough and long
// enough. 0, or -1 with an error set.
// 3.11, 3.12: `_PyUnicode_FastCopyCharacters`, which skips the checks.
// 3.13+: the public `PyUnicode_CopyCharacters`.
inline int copy_characters(PyObject *to, Py_ssize_t at, PyObject *from, Py_ssize_t n) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    _PyUnicode_FastCopyCharacters(to, at, from, 0, n);
    return 0;
#else
    return PyUnicode_CopyCharacters(to, at, from, 0, n) < 0 ? -1 : 0;
#endif
}

// ---------------------------------------------------------------------------
// Dicts.

// dict[key] = value for a str key whose hash is cached. 0, or -1.
// 3.11: `_PyDict_SetItem_KnownHash` with the cached hash. 3.12+: the public
// `PyDict_SetItem`, which reads the same cached hash itself.
inline int dict_set_str_item(PyObject *dict, PyObject *key, PyObject *value) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return _PyDict_SetItem_KnownHash(dict, key, value, str_cached_hash(key));
#else
    return PyDict_SetItem(dict, key, value);
#endif
}

// Whether `dict` has the key `key` (a C string): 1 or 0, or -1 with an error
// set. 3.11, 3.12: `PyDict_GetItemString`, which cannot report an error (a
// failure reads as "absent"). 3.13+: `PyDict_ContainsString`, which reports
// it (where `PyDict_GetItemString` would print it as unraisable).
inline int dict_has_str_key(PyObject *dict, const char *key) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    return PyDict_GetItemString(dict, key) ? 1 : 0;
#else
    return PyDict_ContainsString(dict, key);
#endif
}

// ---------------------------------------------------------------------------
// Global lookup: the module dictionary's version tag.
// 3.11: `ma_version_tag` changes with every change of the dictionary, so a
// lookup site may keep the borrowed value it found and reuse it while the
// tag is the same. 3.12 deprecates the tag and 3.14 removes it; the lookup
// runs only at import, so on 3.12+ every lookup simply probes the
// dictionary and the lookup records stay empty (HAS_DICT_VERSION false).
#if PY_VERSION_HEX < 0x030C0000
constexpr bool HAS_DICT_VERSION = true;
inline uint64_t dict_version(PyObject *dict) noexcept {
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}
#else
constexpr bool HAS_DICT_VERSION = false;
inline uint64_t dict_version(PyObject *) noexcept { return 0; }
#endif

// Looks up the str `key` in `dict`: 1 with a new reference in *result, 0
// when absent, -1 with an error set (a key's __eq__ may raise).
// 3.11: `_PyDict_GetItem_KnownHash` with the string's cached hash (hashed
// here when it has none yet). 3.12: `PyDict_GetItemWithError` (borrowed).
// 3.13+: `PyDict_GetItemRef`, which hands out a strong reference.
inline int dict_get_str_item(PyObject *dict, PyObject *key, PyObject **result) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    Py_hash_t hash = str_cached_hash(key);
    if (hash == -1) {
        hash = PyObject_Hash(key);
        if (hash == -1) {
            *result = nullptr;
            return -1;
        }
    }
    PyObject *value = _PyDict_GetItem_KnownHash(dict, key, hash);  // borrowed
    *result = Py_XNewRef(value);
    return value ? 1 : (PyErr_Occurred() ? -1 : 0);
#elif PY_VERSION_HEX < 0x030D0000
    PyObject *value = PyDict_GetItemWithError(dict, key);  // borrowed
    *result = Py_XNewRef(value);
    return value ? 1 : (PyErr_Occurred() ? -1 : 0);
#else
    return PyDict_GetItemRef(dict, key, result);
#endif
}

// ---------------------------------------------------------------------------
// Code objects.
// 3.11: `PyCode_NewWithPosOnlyArgs`. 3.12+: the same constructor under its
// unstable-API name `PyUnstable_Code_NewWithPosOnlyArgs` (the old name is
// deprecated). The line table format is the same in 3.11 to 3.15.
#if PY_VERSION_HEX < 0x030C0000
#define QUILL_CODE_NEW_WITH_POSONLY PyCode_NewWithPosOnlyArgs
#else
#define QUILL_CODE_NEW_WITH_POSONLY PyUnstable_Code_NewWithPosOnlyArgs
#endif

// ---------------------------------------------------------------------------
// Traceback frames.
// A traceback entry takes its line from its frame. 3.11: a frame made by
// `PyFrame_New` reports the line of its code's first instruction, which an
// empty code object from `PyCode_NewEmpty` does not map to its first line, so
// the line goes into the frame record's f_lineno field (internal header).
// 3.12+: the empty code object's first instruction lies on its first line,
// and a new frame reports exactly that through the public API, so the code
// object made for the line (`PyCode_NewEmpty(file, function, line)`) is all
// it takes.
inline void set_frame_line(PyFrameObject *frame, int line) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

// ---------------------------------------------------------------------------
// Method implementations.
// The fast-call-with-keywords signature: 3.11, 3.12 name it
// `_PyCFunctionFastWithKeywords`; 3.13+ `PyCFunctionFastWithKeywords`.
#if PY_VERSION_HEX < 0x030D0000
using FastCallWithKeywords = _PyCFunctionFastWithKeywords;
#else
using FastCallWithKeywords = PyCFunctionFastWithKeywords;
#endif

// ---------------------------------------------------------------------------
// Module slots.
// 3.13+: `Py_mod_gil`. The module relies on the GIL (see the free-threading
// note above), which it says with `Py_MOD_GIL_USED`; 3.11 and 3.12 have no
// such slot, and the GIL is always there.
#ifdef Py_mod_gil
#define QUILL_MODULE_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define QUILL_MODULE_GIL_SLOT
#endif
// 3.12+: `Py_mod_multiple_interpreters`. All of the module's state is
// process-wide, so it says it supports no second interpreter; the
// interpreter then refuses it in an interpreter with a GIL of its own
// before the create slot runs, and the create slot refuses the others.
// 3.11 has no such slot: the create slot refuses every second interpreter.
#if PY_VERSION_HEX >= 0x030C0000
#define QUILL_MODULE_INTERPRETERS_SLOT \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define QUILL_MODULE_INTERPRETERS_SLOT
#endif

// ---------------------------------------------------------------------------
// Annotate formats.
// 3.14+ (PEP 649/749): `__annotate__` is called with a format, an int of
// `annotationlib.Format`: VALUE (1), VALUE_WITH_FAKE_GLOBALS (2),
// FORWARDREF (3), STRING (4), and must raise NotImplementedError for a
// format it does not serve; annotationlib then derives STRING from VALUE.
// The function object's placeholder holds evaluated annotations, which
// answer VALUE and, being values, FORWARDREF; it cannot run with fake
// globals. 3.11 to 3.13 know no formats: the argument is ignored and every
// call answers the annotations.
// True when the placeholder answers `format`; false (no error set) when it
// raises NotImplementedError instead.
inline bool annotate_format_served(PyObject *format) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    (void)format;
    return true;
#else
    if (!PyLong_Check(format))
        return false;
    int overflow;
    long value = PyLong_AsLongAndOverflow(format, &overflow);
    return value == 1 || value == 3;  // VALUE, FORWARDREF
#endif
}

}  // namespace quill::compat
