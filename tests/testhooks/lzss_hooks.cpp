// lzss_hooks.cpp: hooks into the constant table: the stream decoder, the
// producer's encoder (the very header the build-time producer compiles),
// the compiled-in stream, and the table and code object this module's own
// state record holds.
#include "testhooks.h"

#include <cstring>  // memcpy
#include <memory>   // unique_ptr
#include <new>      // nothrow
#include <vector>

#include "constant_stream.h"                   // generated: the compiled-in stream
#include "../../tools/constgen/lzss_encoder.h"  // the producer's encoder

using namespace quill;

namespace {

// A heap block of exactly `size` bytes (at least one), so that a sanitizer
// build sees any access past its end; bytes objects carry a spare NUL.
std::unique_ptr<unsigned char[]> exact_block(Py_ssize_t size) {
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[size > 0 ? size : 1]);
}

// lzss_decode(stream, n) -> bytes: decodes `stream` into exactly n bytes,
// or raises RuntimeError as the import does.
PyObject *hook_lzss_decode(PyObject *, PyObject *args) {
    Py_buffer stream;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "y*n:lzss_decode", &stream, &n))
        return nullptr;
    PyObject *result = nullptr;
    auto in = exact_block(stream.len);
    auto out = exact_block(n);
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "n must not be negative");
    } else if (!in || !out) {
        PyErr_NoMemory();
    } else {
        std::memcpy(in.get(), stream.buf, static_cast<size_t>(stream.len));
        if (lzss_decode(in.get(), stream.len, out.get(), n) < 0)
            PyErr_SetString(PyExc_RuntimeError, "LZSS string data decompression failed");
        else
            result = PyBytes_FromStringAndSize(reinterpret_cast<char *>(out.get()), n);
    }
    PyBuffer_Release(&stream);
    return result;
}

// lzss_encode(data) -> bytes: the producer's optimal stream for `data`.
PyObject *hook_lzss_encode(PyObject *, PyObject *args) {
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "y*:lzss_encode", &data))
        return nullptr;
    PyObject *result = nullptr;
    try {
        std::vector<unsigned char> stream;
        if (!lzss::encode(static_cast<const unsigned char *>(data.buf), static_cast<size_t>(data.len), stream))
            PyErr_Format(PyExc_ValueError, "the encoder takes at most %zu bytes", lzss::MAX_ENCODER_INPUT);
        else
            result = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(stream.data()),
                                               static_cast<Py_ssize_t>(stream.size()));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    PyBuffer_Release(&data);
    return result;
}

// lzss_check(stream, data) -> str | None: what breaks the producer contract
// when `stream` stands for `data`, or None when nothing does.
PyObject *hook_lzss_check(PyObject *, PyObject *args) {
    Py_buffer stream, data;
    if (!PyArg_ParseTuple(args, "y*y*:lzss_check", &stream, &data))
        return nullptr;
    PyObject *result = nullptr;
    try {
        const std::string broken = lzss::check_stream(
            static_cast<const unsigned char *>(stream.buf), static_cast<size_t>(stream.len),
            static_cast<const unsigned char *>(data.buf), static_cast<size_t>(data.len));
        result = broken.empty() ? Py_NewRef(Py_None)
                                : PyUnicode_FromStringAndSize(broken.data(), static_cast<Py_ssize_t>(broken.size()));
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    PyBuffer_Release(&stream);
    PyBuffer_Release(&data);
    return result;
}

// compiled_stream() -> (stream, n, entry_lengths, line_table_length): what
// the build compiled into the runtime.
PyObject *hook_compiled_stream(PyObject *, PyObject *) {
    namespace cs = constant_stream;
    Ref lengths = Ref::steal(PyTuple_New(cs::ENTRY_COUNT));
    if (!lengths)
        return nullptr;
    for (int i = 0; i < cs::ENTRY_COUNT; ++i) {
        PyObject *len = PyLong_FromLong(cs::ENTRY_LENGTHS[i]);
        if (!len)
            return nullptr;
        PyTuple_SET_ITEM(lengths.get(), i, len);
    }
    return Py_BuildValue("(y#iOi)", reinterpret_cast<const char *>(cs::STREAM), Py_ssize_t{cs::STREAM_LENGTH},
                         cs::DECODED_LENGTH, lengths.get(), cs::LINE_TABLE_LENGTH);
}

// decoded_table() -> (strings, line_table, interned): this module's table
// as its init decoded it, with each entry's interned flag.
PyObject *hook_decoded_table(PyObject *, PyObject *) {
    Ref strings = Ref::steal(PyList_New(CONST_COUNT));
    Ref interned = Ref::steal(PyList_New(CONST_COUNT));
    if (!strings || !interned)
        return nullptr;
    for (int i = 0; i < CONST_COUNT; ++i) {
        PyObject *s = quill_state.strings[i];
        assert(s && PyUnicode_CheckExact(s));
        PyList_SET_ITEM(strings.get(), i, Py_NewRef(s));
        PyList_SET_ITEM(interned.get(), i, PyBool_FromLong(PyUnicode_CHECK_INTERNED(s)));
    }
    return PyTuple_Pack(3, strings.get(), quill_state.line_table, interned.get());
}

// init_constant_table(): decodes the table into this module's state again,
// as a retried import does. Returns None.
PyObject *hook_init_constant_table(PyObject *, PyObject *) {
    if (init_constant_table() < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// build_code_object() -> code: runs the code object construction on this
// module's state and returns the stored result.
PyObject *hook_build_code_object(PyObject *, PyObject *) {
    if (init_code_object() < 0)
        return nullptr;
    return Py_NewRef(quill_state.init_code);
}

PyMethodDef methods[] = {
    {"lzss_decode", hook_lzss_decode, METH_VARARGS, nullptr},
    {"lzss_encode", hook_lzss_encode, METH_VARARGS, nullptr},
    {"lzss_check", hook_lzss_check, METH_VARARGS, nullptr},
    {"compiled_stream", hook_compiled_stream, METH_NOARGS, nullptr},
    {"decoded_table", hook_decoded_table, METH_NOARGS, nullptr},
    {"init_constant_table", hook_init_constant_table, METH_NOARGS, nullptr},
    {"build_code_object", hook_build_code_object, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testhooks_init_lzss(PyObject *m) {
    return PyModule_AddFunctions(m, methods);
}
