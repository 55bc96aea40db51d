#pragma once
// The system's error text for an errno code (strerror_r). Thread-safe.
#include <string>

namespace vexor {

std::string SysErrorMessage(int AErrorCode);

}  // namespace vexor
