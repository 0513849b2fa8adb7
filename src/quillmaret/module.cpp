// module.cpp: the entry point of quillmaret._m3, its create and exec slots.
//
// Multi-phase initialisation: PyInit__m3 only hands back the definition;
// the create slot makes (or hands back) the one module object of this
// process, and the exec slot fills the process-wide state record in a fixed
// sequence. All state is process-wide, so the module refuses to load into a
// second interpreter and initialises at most once.
#include "runtime/compat.h"  // PyImport_AddModuleRef, dict_has_str_key, QUILL_MODULE_*_SLOT
#include "runtime/runtime.h"
#include "errors.h"
#include "version_check.h"

namespace quill {
namespace {

constexpr const char *INIT_FUNCNAME = "init quillmaret._m3";

// The id of the first interpreter that created the module; -1 until then.
// Never reset, not even when that import fails.
int64_t main_interpreter_id = -1;

// New reference to the module object, or null with an error set.
PyObject *module_create(PyObject *spec, PyModuleDef *) noexcept {
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (current == -1)
        return nullptr;
    if (main_interpreter_id == -1) {
        main_interpreter_id = current;
    } else if (current != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    // Re-import after the module left sys.modules: hand back the same object.
    if (quill_state.module)
        return Py_NewRef(quill_state.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    name = Ref();
    if (!module)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());  // borrowed
    if (!dict)
        return nullptr;

    // Copy four attributes of the spec; a missing one is simply skipped, and
    // a None search path leaves __path__ unset.
    static const struct { const char *attr, *key; bool store_none; } copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const auto &c : copies) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, c.attr));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return nullptr;
            PyErr_Clear();
            continue;
        }
        if (value.get() == Py_None && !c.store_none)
            continue;
        if (PyDict_SetItemString(dict, c.key, value.get()) < 0)
            return nullptr;
    }
    return module.release();
}

// 0 on success, -1 with an error set. The steps run in a fixed order; a step
// that fails jumps to `error` with the source line it reports.
int module_exec(PyObject *module) noexcept {
    ModuleState &st = quill_state;
    bool constants_ready = false;
    int line = LINE_MODULE;

    // 1. Re-initialisation guard: the re-import case returns at once; any
    //    other module object is refused without touching the state.
    if (st.module) {
        if (st.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_m3' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }

    // 2. The module object and its dictionary.
    Py_XSETREF(st.module, Py_NewRef(module));
    {
        PyObject *dict = PyModule_GetDict(module);  // borrowed
        if (!dict)
            goto error;
        Py_XSETREF(st.module_dict, Py_NewRef(dict));
    }

    // 3. The builtins module and the auxiliary "quill_runtime" module (the
    //    interpreter creates an empty one when none exists).
    {
        PyObject *builtins = PyImport_AddModuleRef("builtins");
        if (!builtins)
            goto error;
        Py_XSETREF(st.builtins, builtins);
        PyObject *runtime = PyImport_AddModuleRef("quill_runtime");
        if (!runtime)
            goto error;
        Py_XSETREF(st.quill_runtime, runtime);
    }

    // 4. __builtins__.
    if (PyObject_SetAttrString(module, "__builtins__", st.builtins) < 0)
        goto error;

    // 5. Version check: a mismatch only warns.
    if (check_runtime_version(Py_Version) < 0)
        goto error;

    // 6, 7. The empty constants and the constant table; from here on a
    //    failure can name its source line.
    if (init_empty_constants() < 0 || init_constant_table() < 0)
        goto error;
    constants_ready = true;

    // 8. The shared metatype, a subclass of type.
    {
        Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyType_Type)));
        if (!bases)
            goto error;
        PyTypeObject *metatype = fetch_shared_type(nullptr, &metatype_spec, bases.get());
        if (metatype)
            Py_XSETREF(st.metatype, metatype);
        if (PyErr_Occurred())
            goto error;
    }

    // 9. Register the module in the interpreter's module table under its
    //    full name; an existing entry is left as it is.
    {
        PyObject *modules = PyImport_GetModuleDict();  // borrowed
        if (!modules)
            goto error;
        int registered = compat::dict_has_str_key(modules, "quillmaret._m3");
        if (registered < 0 ||
            (!registered && PyDict_SetItemString(modules, "quillmaret._m3", module) < 0))
            goto error;
    }

    // 10. The builtin super, kept for the initializer's zero-argument super().
    {
        PyObject *super = get_builtin_name(kstr(K_super));
        if (!super)
            goto error;
        Py_XSETREF(st.builtin_super, super);
    }

    // 11. The initializer's defaults tuple (None,).
    {
        PyObject *defaults = PyTuple_Pack(1, Py_None);
        if (!defaults)
            goto error;
        Py_XSETREF(st.init_defaults, defaults);
    }

    // 12. The initializer's code object.
    if (init_code_object() < 0)
        goto error;

    // 13. The shared function object type.
    {
        PyTypeObject *type = fetch_shared_type(st.metatype, &function_type_spec, nullptr);
        if (type)
            Py_XSETREF(st.function_type, type);
        else if (PyErr_Occurred())
            goto error;
    }

    // 14. The five error classes; a failure reports its class statement's line.
    if (build_error_classes(&line) < 0)
        goto error;
    line = LINE_MODULE;

    // 15. An empty __test__ dictionary.
    {
        Ref test = Ref::steal(PyDict_New());
        if (!test || PyDict_SetItem(st.module_dict, kstr(K___test__), test.get()) < 0)
            goto error;
    }
    return 0;

error:
    if (st.module_dict && constants_ready)
        add_traceback(INIT_FUNCNAME, line, SOURCE_FILE);
    Py_CLEAR(st.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    QUILL_MODULE_INTERPRETERS_SLOT
    QUILL_MODULE_GIL_SLOT
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_m3",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace quill

PyMODINIT_FUNC PyInit__m3(void) {
    return PyModuleDef_Init(&quill::module_def);
}
