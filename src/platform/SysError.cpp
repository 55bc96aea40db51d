#include "platform/SysError.h"

#include <cstring>

namespace vexor {

std::string SysErrorMessage(int AErrorCode) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(AErrorCode, buffer, sizeof buffer);
  return text ? std::string(text) : std::string();
}

}  // namespace vexor
