// ref.h: Ref, a move-only owner of one strong reference, for temporaries.
//
// Fixed-layout records (FunctionObject, ProcessState) keep raw PyObject *
// fields; a Ref never lives inside one of them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quill {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (which may be null).
    static Ref steal(PyObject *o) noexcept { return Ref(o); }
    // Takes a new reference to a borrowed object (which may be null).
    static Ref borrow(PyObject *o) noexcept { Py_XINCREF(o); return Ref(o); }

    Ref(Ref &&r) noexcept : p_(r.p_) { r.p_ = nullptr; }
    Ref &operator=(Ref &&r) noexcept {
        if (this != &r) {
            PyObject *old = p_;
            p_ = r.p_;
            r.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }                 // borrowed view
    PyObject *release() noexcept { PyObject *o = p_; p_ = nullptr; return o; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *o) noexcept : p_(o) {}
    PyObject *p_ = nullptr;
};

}  // namespace quill
