// type_registry.cpp: the registry of runtime types shared between modules.
//
// The runtime's types live in the dictionary of the module SHARED_MODULE_NAME
// in the interpreter's module table, keyed by short name. The first module
// of this runtime version to initialise creates and registers them; every
// later one adopts what is registered after checking that it is a type of
// the expected size and, for the metatype and the function object type, that
// it has what their records and calls rely on, so all of them share one type
// object per name.
//
// Used by production: the metatype and the function object type, at import.
#include "compat.h"  // PyImport_AddModuleRef, dict_set_default
#include "runtime.h"

#include <cstddef>  // offsetof
#include <cstring>  // strcmp, strrchr

namespace quill {
namespace {

constexpr auto METATYPE_NAME = QUILL_JOIN(SHARED_MODULE_NAME, "._common_types_metatype");

// New reference to SHARED_MODULE_NAME: the metatype's __module__, which
// every type made with the metatype reports as its own. A heap type keeps
// its module name in its dict under "__module__", but the function object
// type's dict holds its instances' __module__ member there instead, so the
// type would report that descriptor; a getter of the metatype answers first.
PyObject *metatype_get_module(PyObject *, void *) noexcept {
    return PyUnicode_FromString(SHARED_MODULE_NAME);
}

PyGetSetDef metatype_getset[] = {
    {"__module__", metatype_get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot metatype_slots[] = {
    {Py_tp_getset, metatype_getset},
    {0, nullptr},
};

// Refuses instantiation with the interpreter's own wording. A metatype
// that disallows instantiation has no tp_new, but type_new hands the
// creation of a class to the winning metatype's tp_new without checking
// it, so type("X", (T,), {}) for a type T of this metatype would call a
// null pointer. With this slot it fails the way calling the metatype does.
// Always null with TypeError set.
PyObject *refuse_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

}  // namespace

PyType_Spec metatype_spec = {
    .name = METATYPE_NAME.text,
    .basicsize = 0,
    .itemsize = 0,
    .flags = Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = metatype_slots,
};

int check_shared_type(PyObject *obj, const char *short_name, SizeRule rule, Py_ssize_t size) noexcept {
    if (!PyType_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "Shared quill type %.200s is not a type object", short_name);
        return -1;
    }
    const Py_ssize_t actual = reinterpret_cast<PyTypeObject *>(obj)->tp_basicsize;
    if ((rule == SizeRule::EXACT && actual != size) || (rule == SizeRule::AT_LEAST && actual < size)) {
        PyErr_Format(PyExc_TypeError, "Shared quill type %.200s has the wrong size, try recompiling",
                     short_name);
        return -1;
    }
    return 0;
}

namespace {

// The type flags and record offsets that function objects rely on: the
// collector visits the record, calls go through its vectorcall field, the
// interpreter calls it unbound as a method, and __dict__ and weak references
// live in their fields.
constexpr unsigned long FUNCTION_TYPE_FLAGS =
    Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;

// 0 when a registered type that passed check_shared_type also meets what
// this module's use of it relies on, -1 with TypeError set otherwise. Only
// the two runtime types have such needs: the metatype must be this runtime's
// own (its name, and the layout of `type`), and the function object type
// must be the one this module's records are written into (its metatype,
// flags and offsets). A registered type that misses any of them would have
// records written into it that do not fit, and crash the collector later.
int check_adopted_type(PyTypeObject *type, const PyType_Spec *spec, PyTypeObject *metatype,
                       const char *short_name) noexcept {
    if (spec == &metatype_spec) {
        // Types are allocated for `type` and then given the metatype, so it
        // must be a subclass of `type`, the one this runtime made (known by
        // its name), with type's instance layout: another metatype's larger
        // records would be read past their end.
        if (!PyType_HasFeature(type, Py_TPFLAGS_TYPE_SUBCLASS) ||
            !PyType_IsSubtype(type, &PyType_Type)) {
            PyErr_Format(PyExc_TypeError, "Shared quill type %.200s is not a subclass of type",
                         short_name);
            return -1;
        }
        if (std::strcmp(type->tp_name, spec->name) != 0) {
            PyErr_Format(PyExc_TypeError, "Shared quill type %.200s has the wrong name, try recompiling",
                         short_name);
            return -1;
        }
        if (type->tp_basicsize != PyType_Type.tp_basicsize ||
            type->tp_itemsize != PyType_Type.tp_itemsize) {
            PyErr_Format(PyExc_TypeError, "Shared quill type %.200s has the wrong size, try recompiling",
                         short_name);
            return -1;
        }
        return 0;
    }
    if (spec != &function_type_spec)
        return 0;
    if (Py_TYPE(type) != (metatype ? metatype : &PyType_Type)) {
        PyErr_Format(PyExc_TypeError, "Shared quill type %.200s has the wrong metatype, try recompiling",
                     short_name);
        return -1;
    }
    if ((type->tp_flags & FUNCTION_TYPE_FLAGS) != FUNCTION_TYPE_FLAGS) {
        PyErr_Format(PyExc_TypeError, "Shared quill type %.200s has the wrong flags, try recompiling",
                     short_name);
        return -1;
    }
    if (type->tp_vectorcall_offset != static_cast<Py_ssize_t>(offsetof(FunctionObject, vectorcall)) ||
        type->tp_dictoffset != static_cast<Py_ssize_t>(offsetof(FunctionObject, func_dict)) ||
        type->tp_weaklistoffset != static_cast<Py_ssize_t>(offsetof(FunctionObject, m_weakreflist))) {
        PyErr_Format(PyExc_TypeError, "Shared quill type %.200s has the wrong layout, try recompiling",
                     short_name);
        return -1;
    }
    return 0;
}

// New reference to a registered type that passes both checks, or null with
// TypeError set; found is borrowed. A spec's basic size of 0 (inherited from
// the base) is not compared; any other must be met exactly.
PyTypeObject *adopt(PyObject *found, const PyType_Spec *spec, PyTypeObject *metatype,
                    const char *short_name) noexcept {
    Ref type = Ref::borrow(found);
    const SizeRule rule = spec->basicsize == 0 ? SizeRule::ANY : SizeRule::EXACT;
    if (check_shared_type(type.get(), short_name, rule, spec->basicsize) < 0 ||
        check_adopted_type(reinterpret_cast<PyTypeObject *>(type.get()), spec, metatype, short_name) < 0)
        return nullptr;
    return reinterpret_cast<PyTypeObject *>(type.release());
}

}  // namespace

// New reference to the registered type, or null with an error set.
//
// 1. Short name: the text after the last '.' of the spec's name.
// 2. The shared runtime module (created empty when absent) and its dict.
// 3. A registered entry is adopted after the type and size check and the
//    checks of what this module relies on.
// 4. Otherwise the type is created from the spec, given the metatype, and
//    registered with set-default, so that when another module registered
//    the name meanwhile, the first registration wins and is adopted.
PyTypeObject *fetch_shared_type(PyTypeObject *metatype, PyType_Spec *spec, PyObject *bases) noexcept {
    const char *dot = strrchr(spec->name, '.');
    const char *short_name = dot ? dot + 1 : spec->name;
    Ref key = Ref::steal(PyUnicode_FromString(short_name));
    if (!key)
        return nullptr;
    Ref shared = Ref::steal(PyImport_AddModuleRef(SHARED_MODULE_NAME));
    if (!shared)
        return nullptr;
    PyObject *registry = PyModule_GetDict(shared.get());  // borrowed
    if (!registry)
        return nullptr;

    // Adopt a registered type.
    if (PyObject *found = PyDict_GetItemWithError(registry, key.get()))
        return adopt(found, spec, metatype, short_name);
    if (PyErr_Occurred())
        return nullptr;

    // Create it.
    Ref created = Ref::steal(PyType_FromModuleAndSpec(shared.get(), spec, bases));
    if (!created) {
        // 3.11 returns null with no error when it cannot copy the type's
        // name; without an error the caller would carry on without the type.
        if (!PyErr_Occurred())
            PyErr_NoMemory();
        return nullptr;
    }
    auto *type = reinterpret_cast<PyTypeObject *>(created.get());
    if (PyType_IsSubtype(type, &PyType_Type) && !type->tp_new &&
        PyType_HasFeature(type, Py_TPFLAGS_DISALLOW_INSTANTIATION))
        type->tp_new = refuse_new;
    if (metatype) {
        // Creation gave the type the metatype `type`; a static type is not
        // reference counted by its instances, a heap type is. The metatype
        // is set here, not passed to `PyType_FromMetaclass`, because it has
        // a tp_new of its own (refuse_new), which `PyType_FromMetaclass`
        // warns about from 3.12 on and refuses from 3.14 on; every version
        // accepts this.
        PyTypeObject *old = Py_TYPE(type);
        Py_SET_TYPE(type, reinterpret_cast<PyTypeObject *>(Py_NewRef(metatype)));
        if (PyType_HasFeature(old, Py_TPFLAGS_HEAPTYPE))
            Py_DECREF(old);
        PyType_Modified(type);
    }

    // Register it, unless another module got there first.
    PyObject *registered = compat::dict_set_default(registry, key.get(), created.get());  // borrowed
    if (!registered)
        return nullptr;
    if (registered == created.get())
        return reinterpret_cast<PyTypeObject *>(created.release());
    Ref winner = Ref::borrow(registered);
    created = Ref();
    return adopt(winner.get(), spec, metatype, short_name);
}

int init_metatype() noexcept {
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyType_Type)));
    if (!bases)
        return -1;
    PyTypeObject *metatype = fetch_shared_type(nullptr, &metatype_spec, bases.get());
    if (metatype)
        Py_XSETREF(quill_state.metatype, metatype);
    return PyErr_Occurred() ? -1 : 0;
}

int init_function_type() noexcept {
    PyTypeObject *type = fetch_shared_type(quill_state.metatype, &function_type_spec, nullptr);
    if (!type)
        return PyErr_Occurred() ? -1 : 0;
    Py_XSETREF(quill_state.function_type, type);
    return 0;
}

}  // namespace quill
