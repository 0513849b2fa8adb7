// testhooks.cpp: the test-only module quillmaret._quill_testhooks.
//
// Built from the same runtime sources as quillmaret._m3, with its own copy
// of the state record, which this init fills the way the module's exec slot
// does: builtins, the constant table, and the shared types adopted from (or
// registered in) "_quillrt_3_3_0". It is a second module of the same runtime
// version, so the function objects it makes have the very type of the
// module's own.
#include "testhooks.h"
#include "runtime/compat.h"  // PyImport_AddModuleRef

using namespace quill;

namespace {

// Fills this module's state record. 0, or -1 with an error set.
int setup_state(PyObject *module) {
    ModuleState &st = quill_state;
    PyObject *dict = PyModule_GetDict(module);  // borrowed
    if (!dict)
        return -1;
    PyObject *builtins = PyImport_AddModuleRef("builtins");
    if (!builtins)
        return -1;
    Py_XSETREF(st.module_dict, Py_NewRef(dict));
    Py_XSETREF(st.builtins, builtins);
    if (init_empty_constants() < 0 || init_constant_table() < 0)
        return -1;
    Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject *>(&PyType_Type)));
    if (!bases)
        return -1;
    st.metatype = fetch_shared_type(nullptr, &metatype_spec, bases.get());
    if (!st.metatype && PyErr_Occurred())
        return -1;
    st.function_type = fetch_shared_type(st.metatype, &function_type_spec, nullptr);
    if (!st.function_type && PyErr_Occurred())
        return -1;
    return 0;
}

PyModuleDef testhooks_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quillmaret._quill_testhooks",
    .m_doc = "Test-only access to the internals of the QuillMaret runtime.",
    .m_size = -1,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

using AreaInit = int (*)(PyObject *);
const AreaInit area_inits[] = {
    testhooks_init_module,  testhooks_init_lzss,      testhooks_init_function,
    testhooks_init_helpers, testhooks_init_classes,   testhooks_init_arguments,
    testhooks_init_traceback, testhooks_init_faults,
    testhooks_init_endurance,
};

}  // namespace

PyMODINIT_FUNC PyInit__quill_testhooks(void) {
    Ref m = Ref::steal(PyModule_Create(&testhooks_def));
    if (!m || setup_state(m.get()) < 0)
        return nullptr;
    for (AreaInit init : area_inits) {
        if (init(m.get()) < 0)
            return nullptr;
    }
    return m.release();
}
