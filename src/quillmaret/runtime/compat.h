// compat.h: everything that depends on the interpreter's version (CPython
// 3.11 to 3.15), and nothing else. Two kinds of entry:
// - Backports, at the top: call sites use the newest public name, and this
//   header supplies it on the versions before the one that added it. Each
//   names that version and the CPython issue, and is guarded on exactly that
//   version (alpha included), so it never meets the interpreter's own
//   declaration; ownership and error reporting are the API's own. Dropping
//   an old version deletes its blocks; no call site changes.
// - Named wrappers in quill::compat: steps only some versions take, layout
//   reads, and the private roads kept where the numbers or the behaviour
//   need them, each with its reason.
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

// gh-47146 made PyMemberDef's type and flag names available from Python.h as
// Py_T_PYSSIZET and Py_READONLY in Python 3.12.0a3; before, structmember.h
// declares them as T_PYSSIZET and READONLY.
#if PY_VERSION_HEX < 0x030C00A3
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

// gh-101101 (PEP 689) renamed PyCode_NewWithPosOnlyArgs() to
// PyUnstable_Code_NewWithPosOnlyArgs() in Python 3.12.0a6 (same arguments,
// same result).
#if PY_VERSION_HEX < 0x030C00A6
#define PyUnstable_Code_NewWithPosOnlyArgs PyCode_NewWithPosOnlyArgs
#endif

// gh-108867 added PyThreadState_GetUnchecked() to Python 3.13.0a1.
#if PY_VERSION_HEX < 0x030D00A1
static inline PyThreadState *PyThreadState_GetUnchecked(void) {
    return _PyThreadState_UncheckedGet();
}
#endif

// gh-105922 added PyImport_AddModuleRef() to Python 3.13.0a1.
#if PY_VERSION_HEX < 0x030D00A1
static inline PyObject *PyImport_AddModuleRef(const char *name) {
    return Py_XNewRef(PyImport_AddModule(name));
}
#endif

// gh-106004 added PyDict_GetItemRef() to Python 3.13.0a1.
#if PY_VERSION_HEX < 0x030D00A1
static inline int PyDict_GetItemRef(PyObject *mp, PyObject *key, PyObject **result) {
    PyObject *value = PyDict_GetItemWithError(mp, key);  // borrowed
    *result = Py_XNewRef(value);
    return value ? 1 : (PyErr_Occurred() ? -1 : 0);
}
#endif

// gh-106521 added PyObject_GetOptionalAttr() to Python 3.13.0a1, the public
// name of _PyObject_LookupAttr().
#if PY_VERSION_HEX < 0x030D00A1
static inline int PyObject_GetOptionalAttr(PyObject *obj, PyObject *name, PyObject **result) {
    return _PyObject_LookupAttr(obj, name, result);
}
#endif

// gh-114626 added the PyCFunctionFastWithKeywords typedef to Python
// 3.13.0a4, the public name of _PyCFunctionFastWithKeywords.
#if PY_VERSION_HEX < 0x030D00A4
typedef _PyCFunctionFastWithKeywords PyCFunctionFastWithKeywords;
#endif

// gh-134891 added PyUnstable_Unicode_GET_CACHED_HASH() to Python 3.15.0a1:
// the hash a str caches once it is computed, or -1 when it has none yet.
#if PY_VERSION_HEX < 0x030F00A1
static inline Py_hash_t PyUnstable_Unicode_GET_CACHED_HASH(PyObject *op) {
    return reinterpret_cast<PyASCIIObject *>(op)->hash;
}
#endif

// ===========================================================================
// Named wrappers.

namespace quill::compat {

// ---------------------------------------------------------------------------
// The pending error.

// Sets the pending error aside for as long as it lives, and makes it the
// pending error again when it goes (dropping whatever is pending then),
// unless discard() dropped it first, for a new error that replaces it.
// 3.11: `PyErr_Fetch` and `PyErr_Restore`, which keep the error as it was
// raised (no normalisation), as the traceback routine wants.
// 3.12+: gh-101578 made the pending error one exception object:
// `PyErr_GetRaisedException` and `PyErr_SetRaisedException`.
class PendingError {
public:
#if PY_VERSION_HEX < 0x030C0000
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~PendingError() {
        if (restore_)
            PyErr_Restore(type_, value_, tb_);
    }
    void discard() noexcept {
        restore_ = false;
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }

private:
    PyObject *type_, *value_, *tb_;  // owned until restored or discarded; each may be null
#else
    PendingError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~PendingError() {
        if (restore_)
            PyErr_SetRaisedException(exc_);
    }
    void discard() noexcept {
        restore_ = false;
        Py_XDECREF(exc_);
    }

private:
    PyObject *exc_;  // owned until restored or discarded; may be null
#endif
    bool restore_ = true;

public:
    PendingError(const PendingError &) = delete;
    PendingError &operator=(const PendingError &) = delete;
};

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

// Copies n characters of `from` (from index 0) into `to` at `at`, widening
// them to the kind of `to`, which the caller made new, wide enough and long
// enough. 0, or -1 with an error set.
// Private road, 3.11: `_PyUnicode_FastCopyCharacters`, which cannot fail;
// the public call's failure exit costs the initializer, which inlines the
// join, 3 to 5 instructions per call on 3.11, even when it copies nothing.
// 3.12+: the public `PyUnicode_CopyCharacters`, as cheap there.
inline int copy_characters(PyObject *to, Py_ssize_t at, PyObject *from, Py_ssize_t n) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    _PyUnicode_FastCopyCharacters(to, at, from, 0, n);
    return 0;
#else
    return PyUnicode_CopyCharacters(to, at, from, 0, n) < 0 ? -1 : 0;
#endif
}

// ---------------------------------------------------------------------------
// Dicts.

// Whether `dict` has the key `key` (a C string): 1 or 0, or -1 with an error
// set. Not a backport of `PyDict_ContainsString` (gh-108314, 3.13.0a1): that
// one reports a failed lookup (a key's __eq__ may raise), which 3.11 and
// 3.12 keep dropping here, as they always have.
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

// `PyDict_SetDefault`: borrowed reference to the value stored under `key`
// (`value` when it was absent), or null with an error set.
// A step only 3.13 takes: 3.13.0 to 3.13.5 can return a value with an error
// still pending after a failed resize (gh-109700, fixed in 3.13.6); the
// error is reported rather than carried past the step.
inline PyObject *dict_set_default(PyObject *dict, PyObject *key, PyObject *value) noexcept {
    PyObject *result = PyDict_SetDefault(dict, key, value);
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
    if (result && PyErr_Occurred())
        return nullptr;
#endif
    return result;
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

// ---------------------------------------------------------------------------
// Member types.
// `__module__` of the function object reads None when it is empty and can be
// deleted, as on CPython's own builtin functions. That is the old
// `T_OBJECT`; its public successor `Py_T_OBJECT_EX` raises AttributeError
// instead, so there is no public name for it from 3.12 on, where it is
// spelled `_Py_T_OBJECT`.
#if PY_VERSION_HEX < 0x030C0000
constexpr int MEMBER_OBJECT_OR_NONE = T_OBJECT;
#else
constexpr int MEMBER_OBJECT_OR_NONE = _Py_T_OBJECT;
#endif

// ---------------------------------------------------------------------------
// Traceback frames.
// A traceback entry takes its line from its frame. Internal layout, 3.11:
// a frame made by `PyFrame_New` reports the line of its code's first
// instruction, which an empty code object from `PyCode_NewEmpty` does not
// map to its first line, so the line goes into the frame record's f_lineno
// field (internal header). 3.12+: the empty code object's first instruction
// lies on its first line, and a new frame reports exactly that through the
// public API, so the code object made for the line
// (`PyCode_NewEmpty(file, function, line)`) is all it takes.
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
