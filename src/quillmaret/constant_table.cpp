// constant_table.cpp: the constant table, decoded at import from the
// compressed stream that tools/constgen wrote at build time, and the
// initializer's code object built over it.
//
// Used by production: all of it, once per import.
#include "runtime/compat.h"  // PyUnstable_Code_NewWithPosOnlyArgs, dict_set_default
#include "runtime/runtime.h"

#include <cstring>  // memcpy, memset
#include <utility>  // std::index_sequence

#include "stream_format.h"
#include "constant_stream.h"  // generated: STREAM, its lengths, ENTRY_LENGTHS

namespace quill {
namespace {

namespace sf = stream_format;
namespace cs = constant_stream;

static_assert(cs::ENTRY_COUNT == CONST_COUNT, "the stream and constants.def hold the same entries");

constexpr int sum_of_entry_lengths() {
    int total = 0;
    for (unsigned char len : cs::ENTRY_LENGTHS)
        total += len;
    return total;
}
static_assert(sum_of_entry_lengths() + cs::LINE_TABLE_LENGTH == cs::DECODED_LENGTH,
              "the decoded buffer is the entries followed by the line table");

// A flag byte whose eight items are all literals.
constexpr unsigned ALL_LITERALS = (1u << sf::GROUP_SIZE) - 1;

constexpr const char *DECODE_FAILED = "LZSS string data decompression failed";

// The initializer's code object: its parameters (INIT_PARAM_NAMES) as its
// only variables, CO_OPTIMIZED | CO_NEWLOCALS, defined on the line of its `def`.
constexpr int INIT_CODE_FLAGS = CO_OPTIMIZED | CO_NEWLOCALS;
constexpr int INIT_FIRST_LINE = LINE_INIT_DEF;
// Code bytes: two per line-table byte plus 4, rounded down to a multiple of 4.
constexpr Py_ssize_t INIT_CODE_SIZE = (2 * cs::LINE_TABLE_LENGTH + 4) & ~3;

// New reference to the tuple of the initializer's parameter names, or null.
template <std::size_t... I>
PyObject *pack_param_names(std::index_sequence<I...>) noexcept {
    return PyTuple_Pack(INIT_PARAM_COUNT, kstr(INIT_PARAM_NAMES[I])...);
}

}  // namespace

// Decodes in one forward pass with plain block copies. Every item is held
// to the bounds before it is used, so no stream, however malformed, makes
// the decoder read past in[m) or write past out[n):
//
// 1. While output is missing, read a flag byte (the input ending here means
//    the stream ends early).
// 2. For each of its eight items, lowest bit first: a literal copies one
//    byte; a back-reference reads its form, then must fit both in the output
//    that exists (P - G - L >= 0) and in the room left (P + L <= N).
// 3. Stop as soon as the output holds n bytes, even in the middle of a
//    group: the group's remaining flag bits are never looked at.
// 4. The stream must end exactly there: input left over is an error too.
int lzss_decode(const unsigned char *in, Py_ssize_t m, unsigned char *out, Py_ssize_t n) noexcept {
    if (m < 0 || n < 0)
        return -1;
    Py_ssize_t i = 0;  // input position
    Py_ssize_t p = 0;  // output position P
    while (p < n) {
        if (i >= m)
            return -1;
        unsigned flags = in[i++];
        // Text that repeats nothing earlier comes as groups of eight
        // literals; with room on both sides such a group is one block copy.
        if (flags == ALL_LITERALS && m - i >= sf::GROUP_SIZE && n - p >= sf::GROUP_SIZE) {
            std::memcpy(out + p, in + i, sf::GROUP_SIZE);
            i += sf::GROUP_SIZE;
            p += sf::GROUP_SIZE;
            continue;
        }
        for (int k = 0; k < sf::GROUP_SIZE && p < n; ++k, flags >>= 1) {
            if (flags & 1u) {
                if (i >= m)
                    return -1;
                out[p++] = in[i++];
                continue;
            }
            if (m - i < 2)
                return -1;
            const unsigned b0 = in[i], b1 = in[i + 1];
            Py_ssize_t gap, len;
            if (b0 < sf::FORM_BIT) {  // near
                gap = b0;
                len = b1 + sf::MIN_MATCH;
                i += sf::NEAR_SIZE;
            } else if (b1 < sf::FORM_BIT) {  // middle
                gap = ((b1 & sf::MIDDLE_GAP_BITS) << sf::MIDDLE_GAP_SHIFT | (b0 & sf::LOW_SEVEN)) +
                      sf::MIDDLE_MIN_GAP;
                len = (b1 & sf::MIDDLE_LENGTH_BITS) + sf::MIN_MATCH;
                i += sf::MIDDLE_SIZE;
            } else {  // far
                if (m - i < sf::FAR_SIZE)
                    return -1;
                gap = ((b1 & sf::LOW_SEVEN) << 7 | (b0 & sf::LOW_SEVEN)) + sf::FAR_MIN_GAP;
                len = in[i + 2] + sf::MIN_MATCH;
                i += sf::FAR_SIZE;
            }
            if (gap + len > p || len > n - p)
                return -1;
            // The source ends G bytes before P, so it never overlaps the
            // bytes being written.
            std::memcpy(out + p, out + p - gap - len, static_cast<size_t>(len));
            p += len;
        }
    }
    return i == m ? 0 : -1;
}

int init_empty_constants() noexcept {
    ProcessState &st = quill_state;
    PyObject *tuple = PyTuple_New(0);
    if (!tuple)
        return -1;
    Py_XSETREF(st.empty_tuple, tuple);
    PyObject *bytes = PyBytes_FromStringAndSize("", 0);
    if (!bytes)
        return -1;
    Py_XSETREF(st.empty_bytes, bytes);
    PyObject *str = PyUnicode_FromStringAndSize("", 0);
    if (!str)
        return -1;
    Py_XSETREF(st.empty_str, str);
    return 0;
}

// Decodes the compiled-in stream and stores the table:
//
// 1. Decode the stream into a bytes object of exactly N bytes, created with
//    no content; any malformed stream is refused as a whole.
// 2. Decode each entry as strict UTF-8, interning the name entries (from
//    FIRST_NAME_ENTRY on), and store it; entries stored before a failing one
//    stay stored.
// 3. The bytes after the entries become the line table.
// 4. Hash every entry and the line table, so later lookups read the cached
//    hash.
//
// A retried import replaces what an earlier attempt stored and releases it.
int init_constant_table() noexcept {
    ProcessState &st = quill_state;

    // 1.
    Ref buffer = Ref::steal(PyBytes_FromStringAndSize(nullptr, cs::DECODED_LENGTH));
    if (!buffer)
        return -1;
    char *data = PyBytes_AS_STRING(buffer.get());
    if (lzss_decode(cs::STREAM, cs::STREAM_LENGTH, reinterpret_cast<unsigned char *>(data), cs::DECODED_LENGTH) < 0) {
        PyErr_SetString(PyExc_RuntimeError, DECODE_FAILED);
        return -1;
    }

    // 2.
    Py_ssize_t offset = 0;
    for (int i = 0; i < CONST_COUNT; ++i) {
        const Py_ssize_t len = cs::ENTRY_LENGTHS[i];
        PyObject *entry = PyUnicode_DecodeUTF8(data + offset, len, nullptr);
        if (!entry)
            return -1;
        if (i >= FIRST_NAME_ENTRY) {
            PyUnicode_InternInPlace(&entry);  // may swap in an equal interned string
            if (!entry)
                return -1;
        }
        Py_XSETREF(st.strings[i], entry);
        offset += len;
    }

    // 3.
    PyObject *line_table = PyBytes_FromStringAndSize(data + offset, cs::LINE_TABLE_LENGTH);
    if (!line_table)
        return -1;
    Py_XSETREF(st.line_table, line_table);
    buffer = Ref();

    // 4.
    for (PyObject *entry : st.strings) {
        if (PyObject_Hash(entry) == -1)
            return -1;
    }
    return PyObject_Hash(st.line_table) == -1 ? -1 : 0;
}

// Builds the code object the initializer presents as __code__. It is never
// run: its code bytes are zeros and only its names, counts, file and line
// positions matter.
int init_code_object() noexcept {
    ProcessState &st = quill_state;

    // A temporary dictionary, declared first so that it outlives the
    // borrowed name tuple it holds.
    Ref interned = Ref::steal(PyDict_New());
    if (!interned)
        return -1;

    // The variable names, shared through the dictionary as equal name
    // tuples of code objects are (with one code object, it is this one).
    Ref names = Ref::steal(pack_param_names(std::make_index_sequence<INIT_PARAM_COUNT>()));
    if (!names)
        return -1;
    PyObject *varnames = compat::dict_set_default(interned.get(), names.get(), names.get());  // borrowed
    if (!varnames)
        return -1;

    Ref code = Ref::steal(PyBytes_FromStringAndSize(nullptr, INIT_CODE_SIZE));
    if (!code)
        return -1;
    char *code_bytes = PyBytes_AsString(code.get());
    if (!code_bytes)
        return -1;
    std::memset(code_bytes, 0, INIT_CODE_SIZE);

    // Name and qualified name are both the entry "__init__".
    PyCodeObject *result = PyUnstable_Code_NewWithPosOnlyArgs(
        /* argcount */ INIT_PARAM_COUNT, /* posonlyargcount */ 0, /* kwonlyargcount */ 0,
        /* nlocals */ INIT_PARAM_COUNT, /* stacksize */ 0, /* flags */ INIT_CODE_FLAGS,
        /* code */ code.get(), /* consts */ st.empty_tuple, /* names */ st.empty_tuple,
        /* varnames */ varnames, /* freevars */ st.empty_tuple, /* cellvars */ st.empty_tuple,
        /* filename */ kstr(K_FILENAME), /* name */ kstr(K___init__), /* qualname */ kstr(K___init__),
        /* firstlineno */ INIT_FIRST_LINE, /* linetable */ st.line_table, /* exceptiontable */ st.empty_bytes);
    if (!result)
        return -1;

    Py_XSETREF(st.init_code, reinterpret_cast<PyObject *>(result));
    return 0;
}

}  // namespace quill
