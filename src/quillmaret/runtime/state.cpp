// state.cpp: the process-wide state record of this extension module.
// Used by production: everything in the runtime reads it.
#include "runtime.h"

namespace quill {

// Zero-initialised at load: no module, empty lookup records and cache.
ModuleState quill_state;

}  // namespace quill
