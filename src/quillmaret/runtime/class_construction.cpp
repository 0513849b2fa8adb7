// class_construction.cpp: what a class statement does, without running
// interpreted code: resolve the bases, choose the metaclass, prepare the
// namespace, record the declared bases, call the metaclass, bind the new
// class into the functions of its body; and the cached lookup of global
// names in the module dictionary.
//
// Used by production: every routine, by the five class statements at import
// (errors.cpp), and only there. The lookup cache pays off on 3.11 alone, and
// its four lookup sites run once per import: it stays because that is how a
// class statement looks its base up, not for speed.
#include "runtime.h"
#include "compat.h"  // PyDict_GetItemRef, dict_version

namespace quill {

PyObject *resolve_bases(PyObject *declared) noexcept {
    assert(PyTuple_Check(declared));
    Ref list;  // created at the first replaced base
    Py_ssize_t n = PyTuple_GET_SIZE(declared);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *base = PyTuple_GET_ITEM(declared, i);
        // 1, 2. A class stays as it is (without asking it), and so does a
        //    base without __mro_entries__.
        Ref entries;
        if (!PyType_Check(base)) {
            Ref meth = Ref::steal(get_attribute_no_error(base, kstr(K___mro_entries__)));
            if (!meth && PyErr_Occurred())
                return nullptr;
            if (meth) {
                // 3. Call it with the whole declared tuple.
                PyObject *argv[2] = {nullptr, declared};
                entries = Ref::steal(
                    fast_call(meth.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET));
                if (!entries)
                    return nullptr;
                if (!PyTuple_Check(entries.get())) {
                    PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
                    return nullptr;
                }
            }
        }
        if (!entries) {
            if (list && PyList_Append(list.get(), base) < 0)
                return nullptr;
            continue;
        }
        // 4. The first replacement starts the list with the bases before it;
        //    the entries go onto its end.
        if (!list) {
            list = Ref::steal(PyList_New(i));
            if (!list)
                return nullptr;
            for (Py_ssize_t j = 0; j < i; ++j)
                PyList_SET_ITEM(list.get(), j, Py_NewRef(PyTuple_GET_ITEM(declared, j)));
        }
        Py_ssize_t end = PyList_GET_SIZE(list.get());
        if (PyList_SetSlice(list.get(), end, end, entries.get()) < 0)
            return nullptr;
    }
    if (!list)
        return Py_NewRef(declared);
    return PyList_AsTuple(list.get());
}

PyObject *calculate_metaclass(PyObject *bases) noexcept {
    assert(PyTuple_Check(bases));
    PyTypeObject *winner = nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject *meta = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (!winner) {
            winner = meta;
            continue;
        }
        if (PyType_IsSubtype(winner, meta))
            continue;  // the winner already derives from this metaclass
        if (PyType_IsSubtype(meta, winner)) {
            winner = meta;  // the more derived metaclass wins
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a "
                        "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    if (!winner)
        winner = &PyType_Type;
    return Py_NewRef(reinterpret_cast<PyObject *>(winner));
}

PyObject *prepare_namespace(PyObject *metaclass, PyObject *bases, PyObject *name,
                            PyObject *qualname, PyObject *modname, PyObject *doc) noexcept {
    // The metaclass's __prepare__(name, bases), or a plain dict.
    Ref ns;
    Ref prepare;
    if (metaclass) {
        prepare = Ref::steal(get_attribute_no_error(metaclass, kstr(K___prepare__)));
        if (!prepare && PyErr_Occurred())
            return nullptr;
    }
    if (prepare) {
        PyObject *argv[3] = {nullptr, name, bases};
        ns = Ref::steal(fast_call(prepare.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    } else {
        ns = Ref::steal(PyDict_New());
    }
    if (!ns)
        return nullptr;
    // The generic item store, so that a mapping from __prepare__ works too.
    if (PyObject_SetItem(ns.get(), kstr(K___module__), modname) < 0 ||
        PyObject_SetItem(ns.get(), kstr(K___qualname__), qualname) < 0)
        return nullptr;
    if (doc && PyObject_SetItem(ns.get(), kstr(K___doc__), doc) < 0)
        return nullptr;
    return ns.release();
}

int record_declared_bases(PyObject *ns, PyObject *declared, PyObject *resolved) noexcept {
    if (resolved == declared)
        return 0;
    // Any dict, a subclass too, gets the dict store, which bypasses the
    // subclass's __setitem__. A namespace from a custom __prepare__ need not
    // be a dict at all; the dict store would refuse it with a SystemError, so
    // such a namespace gets the generic store, as its other entries do.
    if (PyDict_Check(ns))
        return PyDict_SetItemString(ns, "__orig_bases__", declared);
    return PyMapping_SetItemString(ns, "__orig_bases__", declared);
}

PyObject *create_class(PyObject *metaclass, PyObject *name, PyObject *bases, PyObject *ns) noexcept {
    PyObject *argv[4] = {nullptr, name, bases, ns};
    return fast_call(metaclass, argv + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

void assign_class_cell(PyObject *cell_list, PyObject *cls) noexcept {
    if (!cell_list)
        return;
    assert(PyList_Check(cell_list) && PyType_Check(cls));
    // Releasing a replaced class can run Python code (a weak-reference
    // callback) that changes the list: its size is read afresh each time,
    // and the function is held while its field is written.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cell_list); ++i) {
        Ref func = Ref::borrow(PyList_GET_ITEM(cell_list, i));
        FunctionObject *f = as_function(func.get());
        Py_XSETREF(f->mm_class, reinterpret_cast<PyTypeObject *>(Py_NewRef(cls)));
    }
}

// Slow part of the cached lookup: the module dictionary changed since the
// record was filled (or has no version tag to tell). New reference, or null
// with an error set.
QUILL_NOINLINE static PyObject *probe_global(PyObject *name, LookupRecord *record) noexcept {
    PyObject *dict = quill_state.module_dict;
    // Interned names carry their hash; one never hashed yet is hashed here, once.
    PyObject *value = nullptr;
    int found = PyDict_GetItemRef(dict, name, &value);
    if constexpr (compat::HAS_DICT_VERSION) {
        // Read the tag after the probe: a key's __eq__ run by the probe may
        // have changed the dictionary, and the value belongs to the state
        // after it. The tag keeps the borrowed value valid.
        record->version = compat::dict_version(dict);
        record->value = value;
    }
    if (found > 0)
        return value;
    // A failed probe that is an ordinary error counts as a miss, which falls
    // back to the builtins module as a missing name does.
    if (found < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return nullptr;
        PyErr_Clear();
    }
    return get_builtin_name(name);
}

PyObject *cached_global_lookup(PyObject *name, LookupRecord *record) noexcept {
    assert(PyUnicode_CheckExact(name));
    // The dictionary has not changed since this site looked last. Without
    //    a version tag (3.12 and later) every lookup probes.
    if (compat::HAS_DICT_VERSION &&
        compat::dict_version(quill_state.module_dict) == record->version) {
        if (record->value)
            return Py_NewRef(record->value);
        return get_builtin_name(name);
    }
    return probe_global(name, record);
}

}  // namespace quill
