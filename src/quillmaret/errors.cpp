// errors.cpp: the five error classes and the initializer of QuillMaretAPIError.
//
// The classes are built at import the way five class statements at the top
// of a module "quillmaret._m3" (source file SOURCE_FILE) would build them;
// the initializer is the module's one function with a body. constants.def
// lists that pseudo-source line by line (QUILL_LINE), and tracebacks name
// its lines through LINE_*.
#include "errors.h"

#include <cstring>  // memcpy

#include "runtime/arguments.h"
#include "runtime/compat.h"  // unicode_ready, copy_characters
#include "runtime/runtime.h"

namespace quill {
namespace {

// ---------------------------------------------------------------------------
// The initializer

// The parameter list of __init__; the strings are made at import.
PyObject **const init_params[] = {
#define QUILL_PARAM(id, kind) &quill_state.strings[K_##id],
#include "constants.def"
    nullptr,
};

// The bound parameter values; every filled slot is released on every exit.
struct BoundValues {
    PyObject *slot[INIT_PARAM_COUNT] = {};
    ~BoundValues() {
        for (PyObject *v : slot)
            Py_XDECREF(v);
    }
};

// Sets attribute `name` of `obj` through the type's slot when it has one.
inline int set_attribute(PyObject *obj, PyObject *name, PyObject *value) noexcept {
    setattrofunc setattro = Py_TYPE(obj)->tp_setattro;
    return setattro ? setattro(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

// Pieces up to this length are copied byte by byte rather than by memcpy.
constexpr Py_ssize_t SHORT_PIECE = 8;

// The width code of one piece: its storage width in bytes, less one when it
// is pure ASCII (0, 1, 2 or 4).
inline unsigned width_code(PyObject *s) noexcept {
    return PyUnicode_IS_ASCII(s) ? 0u : static_cast<unsigned>(PyUnicode_KIND(s));
}

// The largest character a joined text of width code 0 to 4 may hold, for
// PyUnicode_New; the longest such text is PY_SSIZE_T_MAX >> (code / 2).
constexpr Py_UCS4 MAX_CHAR[5] = {127, 255, 65535, 65535, 1114111};

// Copies one-byte text `piece` to `out`; returns the end of the copy. The
// brackets and a status code's digits are a few bytes each: copied inline.
inline Py_UCS1 *append_one_byte_text(Py_UCS1 *out, PyObject *piece) noexcept {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(piece);
    const Py_UCS1 *src = PyUnicode_1BYTE_DATA(piece);
    if (len > SHORT_PIECE) {
        std::memcpy(out, src, static_cast<size_t>(len));
        return out + len;
    }
    for (Py_ssize_t i = 0; i < len; ++i)
        out[i] = src[i];
    return out + len;
}

QUILL_NOINLINE QUILL_COLD PyObject *join_too_long() noexcept {
    PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
    return nullptr;
}

// New reference to "[" + status + "] " + message, made in one allocation of
// its exact length and width, or null with an error set.
PyObject *join_message(PyObject *status, PyObject *message) noexcept {
    PyObject *const pieces[4] = {kstr(K_OPEN_BRACKET), status, kstr(K_CLOSE_BRACKET), message};
    for (PyObject *piece : pieces) {
        if (compat::unicode_ready(piece) < 0)
            return nullptr;
    }
    // 1. The result's width from the two variable pieces (the others are ASCII).
    unsigned code = width_code(status) | width_code(message);
    if (code > 4)
        code = 4;
    const unsigned shift = code / 2;
    // 2. Its length, refusing a total past the largest string of that width.
    const Py_ssize_t limit = PY_SSIZE_T_MAX >> shift;
    Py_ssize_t total = 0;
    for (PyObject *piece : pieces) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(piece);
        if (len > limit - total)
            return join_too_long();
        total += len;
    }
    // 3. One allocation, then the pieces copied in order.
    PyObject *result = PyUnicode_New(total, MAX_CHAR[code]);
    if (!result)
        return nullptr;
    const int kind = PyUnicode_KIND(result);
    if (kind == PyUnicode_1BYTE_KIND) {
        // The usual case: every piece is one-byte text, so each is a plain
        // byte copy, and the short ones need no call.
        Py_UCS1 *out = PyUnicode_1BYTE_DATA(result);
        for (PyObject *piece : pieces)
            out = append_one_byte_text(out, piece);
        return result;
    }
    char *data = static_cast<char *>(PyUnicode_DATA(result));
    Py_ssize_t pos = 0;
    for (PyObject *piece : pieces) {
        const Py_ssize_t len = PyUnicode_GET_LENGTH(piece);
        if (len == 0)
            continue;
        if (PyUnicode_KIND(piece) == kind) {
            std::memcpy(data + pos * kind, PyUnicode_DATA(piece), static_cast<size_t>(len * kind));
        } else if (compat::copy_characters(result, pos, piece, len) < 0) {
            Py_DECREF(result);
            return nullptr;
        }
        pos += len;
    }
    return result;
}

// New reference to "[" + digits + "] " + message, where `digits` is the
// ASCII text of an int: the join of join_message without a string object
// for the digits. Null with an error set.
PyObject *join_digits_message(const char *digits, Py_ssize_t n_digits, PyObject *message) noexcept {
    if (compat::unicode_ready(message) < 0)
        return nullptr;
    const unsigned code = width_code(message);
    const Py_ssize_t fixed = n_digits + 3;  // "[", the digits, "] "
    const Py_ssize_t len = PyUnicode_GET_LENGTH(message);
    if (len > (PY_SSIZE_T_MAX >> (code / 2)) - fixed)
        return join_too_long();
    PyObject *result = PyUnicode_New(fixed + len, MAX_CHAR[code]);
    if (!result)
        return nullptr;
    // The result has the message's width, so the message is one plain copy.
    const int kind = PyUnicode_KIND(result);
    void *data = PyUnicode_DATA(result);
    PyUnicode_WRITE(kind, data, 0, '[');
    for (Py_ssize_t i = 0; i < n_digits; ++i)
        PyUnicode_WRITE(kind, data, i + 1, static_cast<Py_UCS1>(digits[i]));
    PyUnicode_WRITE(kind, data, n_digits + 1, ']');
    PyUnicode_WRITE(kind, data, n_digits + 2, ' ');
    std::memcpy(static_cast<char *>(data) + fixed * kind, PyUnicode_DATA(message),
                static_cast<size_t>(len * kind));
    return result;
}

// New reference to the joined text for an exact int status code: the digits
// are written straight into the text when the value fits a long long (they
// are what int's repr slot gives); otherwise null with *handled false and no
// error set, and the caller renders it through the slot.
PyObject *join_int_message(PyObject *status, PyObject *message, bool *handled) noexcept {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(status, &overflow);
    *handled = overflow == 0;
    if (overflow != 0)
        return nullptr;
    char buf[24];
    char *end = buf + sizeof buf, *p = end;
    unsigned long long u = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                     : static_cast<unsigned long long>(value);
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (value < 0)
        *--p = '-';
    return join_digits_message(p, end - p, message);
}

// New reference to the text of a status code: a str as it is, an int or a
// float through its type's repr slot, anything else through format(v, "").
inline PyObject *render_status(PyObject *v) noexcept {
    if (PyUnicode_CheckExact(v))
        return Py_NewRef(v);
    if (PyLong_CheckExact(v) || PyFloat_CheckExact(v))
        return Py_TYPE(v)->tp_repr(v);
    return PyObject_Format(v, quill_state.empty_str);
}

QUILL_NOINLINE QUILL_COLD PyObject *init_failed(int line) noexcept {
    add_traceback(INIT_FUNCNAME.text, line);
    return nullptr;
}

// A value that is not a number is never of a subclass of int, so the type
// test's message has no subclass note.
QUILL_NOINLINE QUILL_COLD PyObject *status_code_not_a_number(PyObject *v) noexcept {
    raise_argument_type_error(v, &PyLong_Type, "status_code");
    return init_failed(LINE_INIT_DEF);
}

}  // namespace

// __init__(self, status_code, message, payload=None). New reference to None,
// or null with an error set and a traceback entry for the failing line. The
// comments below quote the pseudo-source statement each part runs, since
// that statement's line is what a failure reports.
PyObject *api_error_init(PyObject *func, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kw) noexcept {
    BoundValues v;
    PyObject **slot = v.slot;

    // def __init__(...): bind the arguments; payload defaults to None.
    if (bind_arguments(args, nargs, kw, init_params, slot, INIT_REQUIRED_COUNT, INIT_PARAM_COUNT,
                       "__init__") < 0)
        return init_failed(LINE_INIT_DEF);
    if (!slot[P_payload])
        slot[P_payload] = Py_NewRef(Py_None);
    if (check_required(slot, nargs, INIT_REQUIRED_COUNT, INIT_PARAM_COUNT, "__init__") < 0)
        return init_failed(LINE_INIT_DEF);

    // status_code: int, coerced; a failure reports the def line.
    if (!PyLong_CheckExact(slot[P_status_code])) {
        if (!PyNumber_Check(slot[P_status_code]))
            return status_code_not_a_number(slot[P_status_code]);
        PyObject *number = PyNumber_Long(slot[P_status_code]);
        if (!number)
            return init_failed(LINE_INIT_DEF);
        Py_SETREF(slot[P_status_code], number);
    }

    // Exact type tests; a failure here names no line.
    if (!check_argument_type(slot[P_status_code], &PyLong_Type, 0, "status_code") ||
        !check_argument_type(slot[P_message], &PyUnicode_Type, 0, "message") ||
        !check_argument_type(slot[P_payload], &PyDict_Type, 1, "payload"))
        return nullptr;

    PyObject *self = slot[P_self];
    // self.status_code = status_code
    if (set_attribute(self, kstr(K_status_code), slot[P_status_code]) < 0)
        return init_failed(LINE_SET_STATUS_CODE);
    // self.message = message
    if (set_attribute(self, kstr(K_message), slot[P_message]) < 0)
        return init_failed(LINE_SET_MESSAGE);

    // self.payload = payload or {}
    {
        PyObject *payload = slot[P_payload];
        int truth;
        if (payload == Py_True)
            truth = 1;
        else if (payload == Py_False || payload == Py_None)
            truth = 0;
        else if ((truth = PyObject_IsTrue(payload)) < 0)
            return init_failed(LINE_SET_PAYLOAD);
        Ref value = truth ? Ref::borrow(payload) : Ref::steal(PyDict_New());
        if (!value || set_attribute(self, kstr(K_payload), value.get()) < 0)
            return init_failed(LINE_SET_PAYLOAD);
    }

    // super().__init__("[" + str(status_code) + "] " + message)
    PyTypeObject *defining_class = as_function(func)->mm_class;
    if (!defining_class) {
        PyErr_SetString(PyExc_RuntimeError, "super(): empty __class__ cell");
        return init_failed(LINE_SUPER_INIT);
    }
    // Both calls leave a free slot in front of their arguments for the callee.
    PyObject *super_args[3] = {nullptr, reinterpret_cast<PyObject *>(defining_class), self};
    Ref super = Ref::steal(
        fast_call(quill_state.builtin_super, super_args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    if (!super)
        return init_failed(LINE_SUPER_INIT);
    Ref text;
    bool joined = false;
    if (PyLong_CheckExact(slot[P_status_code])) {
        text = Ref::steal(join_int_message(slot[P_status_code], slot[P_message], &joined));
        if (joined && !text)
            return init_failed(LINE_SUPER_INIT);
    }
    if (!joined) {
        Ref status = Ref::steal(render_status(slot[P_status_code]));
        if (!status)
            return init_failed(LINE_SUPER_INIT);
        text = Ref::steal(join_message(status.get(), slot[P_message]));
        if (!text)
            return init_failed(LINE_SUPER_INIT);
    }
    PyObject *init_args[3] = {nullptr, super.get(), text.get()};
    PyObject *result = PyObject_VectorcallMethod(kstr(K___init__), init_args + 1,
                                                 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!result)
        return init_failed(LINE_SUPER_INIT);
    Py_DECREF(result);
    Py_RETURN_NONE;
}

namespace {

// ---------------------------------------------------------------------------
// The classes

PyMethodDef api_error_init_def = {
    "__init__",
    QUILL_AS_PYCFUNCTION(api_error_init),
    METH_FASTCALL | METH_KEYWORDS,
    nullptr,
};

// The base of the first class statement is the builtin Exception, not a global.
constexpr ConstId BASE_IS_EXCEPTION = CONST_COUNT;

// Where a class statement takes its one base from.
struct ClassStatement {
    ConstId name;
    ConstId doc;
    int line;             // the statement's source line
    ConstId base_name;    // the global it looks up, or BASE_IS_EXCEPTION
    bool has_initializer; // the body of QuillMaretAPIError
};

constexpr ClassStatement class_statements[] = {
    {K_QuillMaretError, K_DOC_ERROR, LINE_CLASS_ERROR, BASE_IS_EXCEPTION, false},
    {K_QuillMaretAPIError, K_DOC_API_ERROR, LINE_CLASS_API_ERROR, K_QuillMaretError, true},
    {K_QuillMaretAuthError, K_DOC_AUTH_ERROR, LINE_CLASS_AUTH_ERROR, K_QuillMaretAPIError, false},
    {K_QuillMaretRateLimitError, K_DOC_RATE_LIMIT_ERROR, LINE_CLASS_RATE_LIMIT_ERROR, K_QuillMaretAPIError, false},
    {K_QuillMaretNotComputedError, K_DOC_NOT_COMPUTED_ERROR, LINE_CLASS_NOT_COMPUTED_ERROR, K_QuillMaretAPIError,
     false},
};

// Each statement that looks up its base has a lookup record of its own,
// taken in statement order.
constexpr int count_global_lookups() {
    int n = 0;
    for (const ClassStatement &stmt : class_statements)
        n += stmt.base_name != BASE_IS_EXCEPTION;
    return n;
}
static_assert(count_global_lookups() == LOOKUP_RECORD_COUNT, "one lookup record per global lookup");

// New reference to the dict {"status_code": "int", "message": "str",
// "payload": "dict"} (the annotations as texts), or null.
PyObject *initializer_annotations() noexcept {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations ||
        PyDict_SetItem(annotations.get(), kstr(K_status_code), kstr(K_int)) < 0 ||
        PyDict_SetItem(annotations.get(), kstr(K_message), kstr(K_str)) < 0 ||
        PyDict_SetItem(annotations.get(), kstr(K_payload), kstr(K_dict)) < 0)
        return nullptr;
    return annotations.release();
}

// The body of QuillMaretAPIError: defines __init__ in `ns` and records it in
// `cells` for the class-cell assignment. 0, or -1 (reported at LINE_INIT_DEF).
int define_initializer(PyObject *ns, PyObject *cells) noexcept {
    ProcessState &st = quill_state;
    Ref annotations = Ref::steal(initializer_annotations());
    if (!annotations)
        return -1;
    Ref func = Ref::steal(function_new(&api_error_init_def, 0, kstr(K_API_INIT_QUALNAME), nullptr,
                                       kstr(K_MODULE_NAME), st.module_dict, st.init_code));
    if (!func || PyList_Append(cells, func.get()) < 0)
        return -1;
    FunctionObject *f = as_function(func.get());
    Py_XSETREF(f->defaults_tuple, Py_NewRef(st.init_defaults));
    Py_XSETREF(f->func_annotations, annotations.release());

    PyObject *key = kstr(K___init__);
    if (PyDict_CheckExact(ns))
        return PyDict_SetItem(ns, key, func.get());
    return PyObject_SetItem(ns, key, func.get());
}

// Runs one class statement and binds the class in the module dictionary;
// `record` is the lookup record of its base, null for Exception. 0, or -1
// with an error set and *line set to the failing source line.
int run_class_statement(const ClassStatement &stmt, LookupRecord *record, int *line) noexcept {
    PyObject *name = kstr(stmt.name);
    *line = stmt.line;

    // 1. The declared bases: Exception, or a global bound by an earlier statement.
    Ref base = record ? Ref::steal(cached_global_lookup(kstr(stmt.base_name), record))
                      : Ref::borrow(PyExc_Exception);
    if (!base)
        return -1;
    Ref declared = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!declared)
        return -1;

    // 2. Bases, metaclass, namespace, and the declared bases when replaced.
    Ref bases = Ref::steal(resolve_bases(declared.get()));
    if (!bases)
        return -1;
    Ref metaclass = Ref::steal(calculate_metaclass(bases.get()));
    if (!metaclass)
        return -1;
    Ref ns = Ref::steal(prepare_namespace(metaclass.get(), bases.get(), name, name,
                                          kstr(K_MODULE_NAME), kstr(stmt.doc)));
    if (!ns || record_declared_bases(ns.get(), declared.get(), bases.get()) < 0)
        return -1;
    declared = Ref();

    // 3. The class body: only QuillMaretAPIError has one.
    Ref cells;
    if (stmt.has_initializer) {
        cells = Ref::steal(PyList_New(0));
        if (!cells)
            return -1;
        *line = LINE_INIT_DEF;
        if (define_initializer(ns.get(), cells.get()) < 0)
            return -1;
        *line = stmt.line;
    }

    // 4-6. The class, its class cell, and its binding in the module.
    Ref cls = Ref::steal(create_class(metaclass.get(), name, bases.get(), ns.get()));
    if (!cls)
        return -1;
    if (cells)
        assign_class_cell(cells.get(), cls.get());
    return PyDict_SetItem(quill_state.module_dict, name, cls.get());
}

}  // namespace

int build_error_classes(int *line) noexcept {
    LookupRecord *next_record = quill_state.lookups;
    for (const ClassStatement &stmt : class_statements) {
        LookupRecord *record = stmt.base_name == BASE_IS_EXCEPTION ? nullptr : next_record++;
        int at;
        if (run_class_statement(stmt, record, &at) < 0) {
            *line = at;
            return -1;
        }
    }
    return 0;
}

}  // namespace quill
