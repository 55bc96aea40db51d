#pragma once
// printf-style formatting into a std::string, for the system's fixed message texts
// ("***** SYNCHRONIZER NOT FINALIZED: %s ******"). Thread-safe.
#include <string>

namespace vexor {

std::string Format(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vexor
