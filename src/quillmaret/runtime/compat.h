// compat.h: everything that depends on the interpreter's version (CPython
// 3.11 to 3.15), and nothing else. Two kinds of entry:
// - Backports, at the top: call sites use the newest public name, and this
//   header supplies it on the versions before it, under a version guard (so
//   it never meets the interpreter's own declaration), with the same
//   reference ownership and error reporting. Dropping an old version deletes
//   its #if blocks; no call site changes.
// - Named wrappers in quill::compat: private fast paths, layout reads and
//   steps only some versions take. Each says which versions take which road
//   and why.
// Every private name and layout used here was checked against 3.14's and
// 3.15's headers, release and debug ABI. Only the files that need an entry
// include this header.
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

// ===========================================================================
// Backports.

// 3.12: PyMemberDef and its flags move into Python.h under Py_-prefixed
// names. 3.11 declares them in structmember.h.
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

// 3.12: `PyCode_NewWithPosOnlyArgs` becomes
// `PyUnstable_Code_NewWithPosOnlyArgs` (same arguments, same result; the old
// name is deprecated). The line table format is the same in 3.11 to 3.15.
#if PY_VERSION_HEX < 0x030C0000
#define PyUnstable_Code_NewWithPosOnlyArgs PyCode_NewWithPosOnlyArgs
#endif

#if PY_VERSION_HEX < 0x030D0000
// 3.13: `PyThreadState_GetUnchecked`, the public name of
// `_PyThreadState_UncheckedGet`: the current thread state, or null when
// there is none; never an error.
static inline PyThreadState *PyThreadState_GetUnchecked(void) {
    return _PyThreadState_UncheckedGet();
}

// 3.13: `PyImport_AddModuleRef`: the module registered under `name`, created
// empty if there is none. New reference, or null with an error set (the
// older `PyImport_AddModule` hands out a borrowed one).
static inline PyObject *PyImport_AddModuleRef(const char *name) {
    return Py_XNewRef(PyImport_AddModule(name));
}

// 3.13: `PyDict_GetItemRef`: 1 with a new reference in *result, 0 with null
// there when the key is absent, -1 with null there and an error set.
static inline int PyDict_GetItemRef(PyObject *mp, PyObject *key, PyObject **result) {
    PyObject *value = PyDict_GetItemWithError(mp, key);  // borrowed
    *result = Py_XNewRef(value);
    return value ? 1 : (PyErr_Occurred() ? -1 : 0);
}

// 3.13: `PyCFunctionFastWithKeywords`, the public name of the
// fast-call-with-keywords signature `_PyCFunctionFastWithKeywords`.
typedef _PyCFunctionFastWithKeywords PyCFunctionFastWithKeywords;
#endif

// ===========================================================================
// Named wrappers.

namespace quill::compat {

// ---------------------------------------------------------------------------
// The pending error.
// Private fast path, 3.11: three fields of the thread state (type, value,
// traceback), read and written directly: no call, and, unlike a backport of
// `PyErr_GetRaisedException`, no normalisation (the traceback routine sets
// aside and restores the error of every failure it annotates). 3.12+: one
// exception object, through the public `PyErr_GetRaisedException` /
// `PyErr_SetRaisedException`.

// The type of the pending error, or null. Borrowed reference.
// 3.12+: `PyErr_Occurred`, which reads the type of the one current exception.
inline PyObject *pending_error_type() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyThreadState_GetUnchecked()->curexc_type;
#else
    return PyErr_Occurred();
#endif
}

// The pending error, taken out of the thread state and owned by this record.
struct PendingError {
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type, *value, *tb;  // owned, each may be null

    static PendingError take() noexcept {
        PyThreadState *tstate = PyThreadState_GetUnchecked();
        PendingError e{tstate->curexc_type, tstate->curexc_value, tstate->curexc_traceback};
        tstate->curexc_type = tstate->curexc_value = tstate->curexc_traceback = nullptr;
        return e;
    }
    // Makes this the pending error again, dropping whatever is pending now.
    void restore() noexcept {
        PendingError stray = take();
        PyThreadState *tstate = PyThreadState_GetUnchecked();
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
// Attribute lookup that may miss.
// Private fast path, 3.11 and 3.12: `_PyObject_GenericGetAttrWithDict` with
// suppress=1, the generic lookup that reports a miss without building an
// AttributeError only to clear it, which no public call does before 3.13.
// 3.13+: the
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
// A step only 3.11 takes: `PyUnicode_READY` (a legacy string may not be
// ready yet). 3.12+: the legacy representation is gone and every string is
// ready, so there is no public name to call and this is a no-op.
inline int unicode_ready(PyObject *s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s);
#else
    (void)s;
    return 0;
#endif
}

// The hash a str caches once it is computed, or -1 when it has none yet.
// Layout read, 3.11 to 3.14: the hash field of the string's header, read
// inline (the dictionary and argument paths ask for it on every key; there
// is no public accessor before 3.15). 3.15+:
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
// Private fast path, 3.11 and 3.12: `_PyUnicode_FastCopyCharacters`, which
// skips the bounds and width checks the caller has already made true (the
// message join copies each piece of another width with it). 3.13+: the
// public `PyUnicode_CopyCharacters`.
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

// Whether `dict` has the key `key` (a C string): 1 or 0, or -1 with an error
// set. Not a backport of `PyDict_ContainsString`: that one reports a failed
// lookup (a key's __eq__ may raise), and 3.11 and 3.12 keep the behaviour
// they have always had here, where the lookup cannot report it.
// 3.11, 3.12: `PyDict_GetItemString`, with which a failure reads as
// "absent" (the error is dropped). 3.13+: `PyDict_ContainsString` (where
// `PyDict_GetItemString` would print the error as unraisable).
inline int dict_has_str_key(PyObject *dict, const char *key) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    return PyDict_GetItemString(dict, key) ? 1 : 0;
#else
    return PyDict_ContainsString(dict, key);
#endif
}

// dict[key] = value for a str key whose hash is cached. 0, or -1.
// Private fast path, 3.11: `_PyDict_SetItem_KnownHash` with the cached hash,
// saving the exact-str check and hash read that `PyDict_SetItem` repeats.
// 3.12+: the public `PyDict_SetItem`.
inline int dict_set_str_item(PyObject *dict, PyObject *key, PyObject *value) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return _PyDict_SetItem_KnownHash(dict, key, value, str_cached_hash(key));
#else
    return PyDict_SetItem(dict, key, value);
#endif
}

// ---------------------------------------------------------------------------
// Global lookup: the module dictionary's version tag.
// Layout read, 3.11: `ma_version_tag` changes with every change of the
// dictionary, so a lookup site may keep the borrowed value it found and reuse
// it while the tag is the same. 3.12 deprecates the tag and 3.14 removes it;
// the lookup runs only at import, so on 3.12+ every lookup simply probes the
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

// Looks up the str `key` in `dict` as `PyDict_GetItemRef` does: 1 with a
// new reference in *result, 0 when absent, -1 with an error set (a key's
// __eq__ may raise).
// Private fast path, 3.11: `_PyDict_GetItem_KnownHash` with the string's
// cached hash (hashed here when it has none yet), saving the exact-str check
// and hash read that `PyDict_GetItemWithError` repeats. 3.12+:
// `PyDict_GetItemRef` (backported for 3.12 above).
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
#else
    return PyDict_GetItemRef(dict, key, result);
#endif
}

// ---------------------------------------------------------------------------
// Member types.
// `__module__` of the function object reads None when it is empty and can be
// deleted, as on CPython's own builtin functions. That is the old
// `T_OBJECT`; its public successor
// `Py_T_OBJECT_EX` raises AttributeError instead, so there is no public name
// for it from 3.12 on, where it is spelled `_Py_T_OBJECT`.
#if PY_VERSION_HEX < 0x030C0000
constexpr int MEMBER_OBJECT_OR_NONE = T_OBJECT;
#else
constexpr int MEMBER_OBJECT_OR_NONE = _Py_T_OBJECT;
#endif

// ---------------------------------------------------------------------------
// Traceback frames.
// A traceback entry takes its line from its frame. Internal layout, 3.11:
// a frame made by
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
// Module slots.
// A slot an interpreter does not know makes module creation fail, so these
// cannot be backported: each is listed only where it exists.
// 3.13+: `Py_mod_gil`. The module relies on the GIL, which it says with
// `Py_MOD_GIL_USED`; 3.11 and 3.12 have no such slot, and the GIL is always
// there.
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
