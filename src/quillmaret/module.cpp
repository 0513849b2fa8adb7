// module.cpp: the entry point of quillmaret._m3, its create and exec slots.
//
// Multi-phase initialisation: PyInit__m3 only hands back the definition;
// the create slot makes (or hands back) the one module object of this
// process, and the exec slot fills the process-wide state record in a fixed
// sequence. All state is process-wide, so the module refuses to load into a
// second interpreter and initialises at most once.
#include "runtime/compat.h"  // dict_has_str_key, QUILL_MODULE_*_SLOT
#include "runtime/runtime.h"
#include "errors.h"
#include "version_check.h"

namespace quill {
namespace {

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

// The exec slot's own steps; the others are shared with the test hooks
// (runtime.h) or belong to the constant table and the classes. Each: 0, or
// -1 with an error set.

// Registers the module in the interpreter's module table under its full
// name, whatever name it was loaded under; an existing entry is left as it is.
int register_module(PyObject *module) noexcept {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    if (!modules)
        return -1;
    int registered = compat::dict_has_str_key(modules, MODULE_NAME);
    if (registered < 0)
        return -1;
    return registered ? 0 : PyDict_SetItemString(modules, MODULE_NAME, module);
}

// The builtin super, which the initializer's zero-argument super() calls.
int take_builtin_super() noexcept {
    PyObject *super = get_builtin_name(kstr(K_super));
    if (!super)
        return -1;
    Py_XSETREF(quill_state.builtin_super, super);
    return 0;
}

// The initializer's defaults tuple (None,).
int make_init_defaults() noexcept {
    PyObject *defaults = PyTuple_Pack(1, Py_None);
    if (!defaults)
        return -1;
    Py_XSETREF(quill_state.init_defaults, defaults);
    return 0;
}

// An empty __test__ dictionary: doctest finds no extra tests in the module.
int add_test_dict() noexcept {
    Ref test = Ref::steal(PyDict_New());
    if (!test)
        return -1;
    return PyDict_SetItem(quill_state.module_dict, kstr(K___test__), test.get());
}

// A failed exec leaves the module uninitialised, so a later import can retry.
int exec_failed() noexcept {
    Py_CLEAR(quill_state.module);
    return -1;
}

// 0 on success, -1 with an error set. The steps run in a fixed order and
// the first failure ends the sequence.
int module_exec(PyObject *module) noexcept {
    ProcessState &st = quill_state;
    // The re-import case returns at once; any other module object is refused
    // without touching the state.
    if (st.module) {
        if (st.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_m3' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    Py_XSETREF(st.module, Py_NewRef(module));

    // Until the constant table is ready, a failure has no source line: the
    // interpreter's error goes out as it is. (The auxiliary module
    // "quill_runtime" is held and never read.)
    if (take_module_dict(module) < 0 || take_module("builtins", st.builtins) < 0 ||
        take_module("quill_runtime", st.quill_runtime) < 0 ||
        PyObject_SetAttrString(module, "__builtins__", st.builtins) < 0 ||
        check_runtime_version(Py_Version) < 0 || init_empty_constants() < 0 ||
        init_constant_table() < 0)
        return exec_failed();

    // From here on a failure reports the line of the module statement it
    // happened in: a class statement's, else the module's set-up line.
    int line = LINE_MODULE;
    if (init_metatype() < 0 || register_module(module) < 0 || take_builtin_super() < 0 ||
        make_init_defaults() < 0 || init_code_object() < 0 || init_function_type() < 0 ||
        build_error_classes(&line) < 0 || add_test_dict() < 0) {
        add_traceback(IMPORT_FUNCNAME.text, line);
        return exec_failed();
    }
    return 0;
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
