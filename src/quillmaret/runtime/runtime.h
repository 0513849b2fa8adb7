// runtime.h: the private header of the QuillMaret runtime.
//
// Record layouts, flags and the routines every runtime file shares. Each
// extension module that links the runtime (the module _m3 and the test-only
// hooks module) gets its own copy of the process-wide state record
// `quill_state`; the shared types themselves are common to all of them
// through the registry in the module SHARED_MODULE_NAME.
//
// Used by production: the records, the state and every routine declared here;
// function_call.cpp and function_object.cpp say which parts of them only the
// tests reach (the other call kinds, FUNCTION_FLAG_*).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cstdint>

#include "../constant_ids.h"
#include "compiler.h"
#include "ref.h"

// A method record holds its implementation as a PyCFunction whatever its call
// kind: the one spelling of that cast, through a generic function pointer
// (which -Wcast-function-type accepts). A macro, so that method tables stay
// constant-initialized. method_implementation casts back the same way.
#define QUILL_AS_PYCFUNCTION(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

namespace quill {

// The shared runtime module, named for the runtime version: modules of the
// same version share its types, and no other module's types meet them.
constexpr char SHARED_MODULE_NAME[] = "_quillrt_3_3_0";

// ---------------------------------------------------------------------------
// The function object record. Its layout is shared with every module of the
// same runtime version, so no field may move or change width. Fields 1 to 7
// mirror PyCMethodObject (checked in function_object.cpp).

constexpr int FUNCTION_FLAG_STATIC = 0x01;  // a call never takes self from its arguments
constexpr int FUNCTION_FLAG_METHOD = 0x04;  // a call takes self from its first argument

// Returns a new 2-tuple (positional defaults, keyword defaults), or null
// with an error set.
using DefaultsGetter = PyObject *(*)(PyObject *function);

struct FunctionObject {
    PyObject_HEAD
    PyMethodDef *m_ml;            // static record; not owned
    PyObject *m_self;             // the object itself; holds no reference
    PyObject *m_module;           // owned, may be null: __module__
    PyObject *m_weakreflist;      // managed by the weak-reference machinery
    vectorcallfunc vectorcall;    // chosen at creation from the call kind; may be null
    PyTypeObject *mm_class;       // owned, may be null: the defining class
    PyObject *func_dict;          // owned, created on first use
    PyObject *func_name;          // owned, filled on first read of __name__
    PyObject *func_qualname;      // owned, never null (the empty string once cleared)
    PyObject *func_doc;           // owned, filled on first read of __doc__
    PyObject *func_globals;       // owned; null only once the collector cleared it
    PyObject *func_code;          // owned, may be null
    PyObject *func_closure;       // owned, may be null; never exposed
    PyObject *defaults_holder;    // owned, may be null; kept, visited, cleared
    int flags;                    // FUNCTION_FLAG_*
    PyObject *defaults_tuple;     // owned, may be null: __defaults__
    PyObject *defaults_kwdict;    // owned, may be null: __kwdefaults__
    DefaultsGetter defaults_getter;  // may be null; fills the two fields above
    PyObject *func_annotations;   // owned, may be null: __annotations__
};

// The function object record behind a function object. The type's slots,
// getters and call entries are only ever given objects of the type.
inline FunctionObject *as_function(PyObject *op) noexcept {
    return reinterpret_cast<FunctionObject *>(op);
}

// A method record's implementation as the function pointer type Fn of its
// call kind.
template <typename Fn>
inline Fn method_implementation(const PyMethodDef *ml) noexcept {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(ml->ml_meth));
}

// True when a call takes self from its first positional argument.
inline bool takes_self_from_args(const FunctionObject *f) noexcept {
    return (f->flags & (FUNCTION_FLAG_STATIC | FUNCTION_FLAG_METHOD)) == FUNCTION_FLAG_METHOD;
}

// ---------------------------------------------------------------------------
// The process-wide state record (one per extension module that links the
// runtime; no PEP 489 module state: the module's state size is 0). Every
// object field holds a strong reference for the life of the process unless
// its note says otherwise.

// Per lookup site of the cached global lookup. Filled only where the
// dictionary has a version tag (3.11; see compat.h); empty otherwise.
struct LookupRecord {
    uint64_t version;   // the module dictionary's ma_version_tag seen last; 0 at load
    PyObject *value;    // borrowed: kept valid by the version tag; may be null
};

// One cached traceback code object.
struct CodeCacheEntry {
    PyCodeObject *code;    // owned
    int line;
    const char *funcname;  // the UTF-8 form of code->co_name, owned by it
};

// Traceback code objects, sorted by line and function name, one per pair;
// grows by 64.
struct CodeCache {
    int count;
    int capacity;
    CodeCacheEntry *entries;  // PyMem_Malloc'ed; never freed
};

// One per class statement that looks up its base (errors.cpp checks the count).
constexpr int LOOKUP_RECORD_COUNT = 4;

struct ProcessState {
    PyObject *module;          // null until the exec slot succeeds; marks the module initialised
    PyObject *module_dict;     // the module's dictionary; globals of functions and frames
    PyObject *builtins;        // the builtins module
    PyObject *quill_runtime;   // the "quill_runtime" module; held, not read
    PyObject *empty_tuple;
    PyObject *empty_bytes;
    PyObject *empty_str;
    PyObject *strings[CONST_COUNT];  // the constant table's strings, by ConstId
    PyObject *line_table;      // bytes: co_linetable of the initializer's code object
    PyTypeObject *metatype;    // the shared metatype
    PyObject *builtin_super;   // the builtin super, looked up once
    PyObject *init_defaults;   // the tuple (None,)
    PyObject *init_code;       // the initializer's code object
    PyTypeObject *function_type;  // the shared function object type
    LookupRecord lookups[LOOKUP_RECORD_COUNT];
    CodeCache code_cache;
};

extern ProcessState quill_state;

// Borrowed reference to constant-table entry `id`.
inline PyObject *kstr(ConstId id) noexcept { return quill_state.strings[id]; }

// Steps that fill the state record, shared by the module's exec slot and the
// test hooks' set-up. Each: 0, or -1 with an error set.
int take_module_dict(PyObject *module) noexcept;  // module_dict: the module's dictionary
// `field`: the module `name` of the interpreter's module table, which the
// interpreter creates empty when there is none.
int take_module(const char *name, PyObject *&field) noexcept;
int init_metatype() noexcept;                     // metatype (type_registry.cpp)
int init_function_type() noexcept;                // function_type, after metatype (type_registry.cpp)

// ---------------------------------------------------------------------------
// Constant table (constant_table.cpp).

// Creates the empty tuple, byte string and string. 0, or -1 with an error set.
int init_empty_constants() noexcept;
// Decodes the compiled-in stream into quill_state.strings and line_table,
// interns the name entries and hashes every entry and the line table. 0, or -1.
int init_constant_table() noexcept;
// Builds quill_state.init_code. 0, or -1.
int init_code_object() noexcept;
// Decodes one stream into out[0..n). 0 on success; -1 (no error set) when
// the stream is malformed: reads past m, writes past n, references before
// the start of the output, ends early, or leaves input over.
int lzss_decode(const unsigned char *in, Py_ssize_t m, unsigned char *out, Py_ssize_t n) noexcept;

// ---------------------------------------------------------------------------
// Shared type registry (type_registry.cpp).

extern PyType_Spec metatype_spec;        // SHARED_MODULE_NAME "._common_types_metatype"
extern PyType_Spec function_type_spec;   // SHARED_MODULE_NAME ".quill_function_or_method"

// New reference to the registered type (created and registered when absent),
// or null with an error set.
PyTypeObject *fetch_shared_type(PyTypeObject *metatype, PyType_Spec *spec, PyObject *bases) noexcept;

// How check_shared_type compares a type's basic size with the size given.
enum class SizeRule { ANY, EXACT, AT_LEAST };
// 0 when obj is a type whose basic size meets the rule, -1 with TypeError
// set otherwise.
int check_shared_type(PyObject *obj, const char *short_name, SizeRule rule, Py_ssize_t size) noexcept;

// ---------------------------------------------------------------------------
// Function objects (function_object.cpp, function_call.cpp,
// function_annotations.cpp).

// New reference to a function object of quill_state.function_type, or null
// with an error set (messages::BAD_CALL_FLAGS for a call kind without an
// entry). closure, module and code may be null.
PyObject *function_new(PyMethodDef *ml, int flags, PyObject *qualname, PyObject *closure,
                       PyObject *module, PyObject *globals, PyObject *code) noexcept;

// The vectorcall entry for a method record's call kind. Sets *ok to false
// for a refused kind; a null entry with *ok true means tuple-and-dict calls.
vectorcallfunc select_vectorcall(int ml_flags, bool *ok) noexcept;
// The type's call slot.
PyObject *function_call(PyObject *func, PyObject *args, PyObject *kwargs) noexcept;

// The function type's method table; record 0 is the __annotate__ placeholder.
extern PyMethodDef function_methods[];

// The annotation attributes and the placeholder method.
PyObject *function_get_annotations(PyObject *func, void *) noexcept;
int function_set_annotations(PyObject *func, PyObject *value, void *) noexcept;
PyObject *function_get_annotate(PyObject *func, void *) noexcept;
int function_set_annotate(PyObject *func, PyObject *value, void *) noexcept;
PyObject *function_annotate_placeholder(PyObject *self, PyObject *format) noexcept;

// ---------------------------------------------------------------------------
// Lookup and call helpers (call_helpers.cpp).

int is_subtype(PyTypeObject *a, PyTypeObject *b) noexcept;
int is_subtype_of_either(PyTypeObject *t, PyTypeObject *a, PyTypeObject *b) noexcept;
int exception_matches(PyObject *err, PyObject *spec) noexcept;
// New reference, or null; null with no error set means "no such attribute".
PyObject *get_attribute_no_error(PyObject *obj, PyObject *name) noexcept;
// New reference from the builtins module, or null with NameError (or
// another error) set.
PyObject *get_builtin_name(PyObject *name) noexcept;
// New reference, or null with an error set.
PyObject *call_builtin_direct(PyObject *func, PyObject *arg) noexcept;
// Calls func with a vector of positional arguments and no keywords; nargsf
// may carry PY_VECTORCALL_ARGUMENTS_OFFSET. New reference, or null.
PyObject *fast_call(PyObject *func, PyObject *const *args, size_t nargsf) noexcept;

// ---------------------------------------------------------------------------
// Class construction (class_construction.cpp).

// New reference to the resolved bases (the declared tuple itself when no
// base was replaced), or null.
PyObject *resolve_bases(PyObject *declared) noexcept;
// New reference to the winning metaclass, or null with TypeError set.
PyObject *calculate_metaclass(PyObject *bases) noexcept;
// New reference to the class namespace, or null. metaclass and doc may be null.
PyObject *prepare_namespace(PyObject *metaclass, PyObject *bases, PyObject *name,
                            PyObject *qualname, PyObject *modname, PyObject *doc) noexcept;
// Stores "__orig_bases__" when the bases were replaced. 0, or -1.
int record_declared_bases(PyObject *ns, PyObject *declared, PyObject *resolved) noexcept;
// New reference to the class, or null.
PyObject *create_class(PyObject *metaclass, PyObject *name, PyObject *bases, PyObject *ns) noexcept;
// Stores cls as the defining class of every function object in the list.
void assign_class_cell(PyObject *cell_list, PyObject *cls) noexcept;
// New reference to the global `name` (module dict, then builtins), or null.
PyObject *cached_global_lookup(PyObject *name, LookupRecord *record) noexcept;

// ---------------------------------------------------------------------------
// Argument binding and type checks (arguments.h/.cpp).
//
// A parameter-name list is a null-terminated array of pointers to
// quill_state.strings slots: the strings are made at import, the list is
// static.
using ParamNames = PyObject **const *;

// ---------------------------------------------------------------------------
// Traceback records (traceback.cpp).

// Adds one traceback entry (function, line) to the pending exception, in the
// module's one source file SOURCE_FILE, with code objects cached by line and
// function. Call only with an exception pending.
void add_traceback(const char *funcname, int line) noexcept;

}  // namespace quill
