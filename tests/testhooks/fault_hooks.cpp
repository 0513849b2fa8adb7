// fault_hooks.cpp: planted faults that prove the harnesses can fail.
//
// The leak hunt and the sanitizer run are only worth something if they
// report a fault when there is one. These hooks commit exactly the faults
// each harness looks for. Only the harnesses' self-checks (tests/harness/)
// call them; the normal suite never does.
#include "testhooks.h"

#include <climits>  // INT_MAX
#include <cstring>  // memset

namespace {

// leak_one_reference(): makes a new object and drops its only reference on
// the floor. Each call leaks exactly one reference and one memory block.
PyObject *leak_one_reference(PyObject *, PyObject *) {
    // A bytes object longer than one byte is never a cached singleton, so
    // each call allocates (and leaks) a fresh one.
    PyObject *leaked = PyBytes_FromStringAndSize("leaked", 6);
    if (!leaked)
        return nullptr;
    Py_RETURN_NONE;
}

// read_past_end(size): allocates `size` bytes with PyMem_Malloc and reads the
// byte just past the end of the block (heap out-of-bounds read), then frees
// it. Returns the byte read, as an int.
PyObject *read_past_end(PyObject *, PyObject *arg) {
    Py_ssize_t size = PyLong_AsSsize_t(arg);
    if (size == -1 && PyErr_Occurred())
        return nullptr;
    if (size < 1) {
        PyErr_SetString(PyExc_ValueError, "size must be positive");
        return nullptr;
    }
    auto *block = static_cast<unsigned char *>(PyMem_Malloc(static_cast<size_t>(size)));
    if (!block)
        return PyErr_NoMemory();
    memset(block, 0, static_cast<size_t>(size));
    // volatile: the read must really happen, past the end, at run time.
    volatile unsigned char *bytes = block;
    unsigned char past_end = bytes[size];
    PyMem_Free(block);
    return PyLong_FromLong(past_end);
}

// overflow_signed_int(): adds 1 to INT_MAX in a signed int (undefined
// behaviour). Returns the wrapped result, as an int.
PyObject *overflow_signed_int(PyObject *, PyObject *) {
    volatile int largest = INT_MAX;  // hides the constant from the compiler
    int sum = largest + 1;
    return PyLong_FromLong(sum);
}

PyMethodDef methods[] = {
    {"leak_one_reference", leak_one_reference, METH_NOARGS, nullptr},
    {"read_past_end", read_past_end, METH_O, nullptr},
    {"overflow_signed_int", overflow_signed_int, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int testhooks_init_faults(PyObject *m) {
    return PyModule_AddFunctions(m, methods);
}
