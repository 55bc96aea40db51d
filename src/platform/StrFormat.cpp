#include "platform/StrFormat.h"

#include <cstdarg>
#include <cstdio>

namespace vexor {

std::string Format(const char* AFormat, ...) {
  va_list args;
  va_start(args, AFormat);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, AFormat, copy);
  va_end(copy);
  std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(s.data(), s.size() + 1, AFormat, args);
  va_end(args);
  return s;
}

}  // namespace vexor
