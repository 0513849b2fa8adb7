// testhooks.cpp: the test-only module quillmaret._quill_testhooks.
//
// Built from the same runtime sources as quillmaret._m3, with its own copy
// of the state record, which this init fills the way the module's exec slot
// does: builtins, the constant table, and the shared types adopted from (or
// registered in) "_quillrt_3_3_0". It is a second module of the same runtime
// version, so the function objects it makes have the very type of the
// module's own.
#include "testhooks.h"

using namespace quill;

namespace {

// Fills this module's state record with the steps of the module's exec slot
// that the runtime needs. 0, or -1 with an error set.
int setup_state(PyObject *module) {
    if (take_module_dict(module) < 0 || take_module("builtins", quill_state.builtins) < 0 ||
        init_empty_constants() < 0 ||
        init_constant_table() < 0 || init_metatype() < 0 || init_function_type() < 0)
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
