// version_check.h: the warning for a running interpreter other than the one
// the module was compiled for.
#pragma once

#include <patchlevel.h>  // PY_MAJOR_VERSION, PY_MINOR_VERSION of the headers built against

namespace quill {

constexpr int BUILT_FOR_MAJOR = PY_MAJOR_VERSION;
constexpr int BUILT_FOR_MINOR = PY_MINOR_VERSION;

// Compares the major and minor version held in running_version (laid out as
// Py_Version) with the compiled-for version and warns (RuntimeWarning) when
// they differ. 0, or -1 when issuing the warning failed, e.g. with warnings
// turned into errors.
int check_runtime_version(unsigned long running_version) noexcept;

}  // namespace quill
