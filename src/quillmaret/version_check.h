// version_check.h: the warning for a running interpreter other than 3.11.
#pragma once

namespace quill {

constexpr int BUILT_FOR_MAJOR = 3;
constexpr int BUILT_FOR_MINOR = 11;

// Compares the major and minor version held in running_version (laid out as
// Py_Version) with 3.11 and warns (RuntimeWarning) when they differ. 0, or -1
// when issuing the warning failed, e.g. with warnings turned into errors.
int check_runtime_version(unsigned long running_version) noexcept;

}  // namespace quill
