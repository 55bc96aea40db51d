#include "platform/DebugOutput.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace vexor {
namespace {
std::function<void(std::string_view)>& Sink() {
  static std::function<void(std::string_view)> sink;
  return sink;
}
}  // namespace

void OutputDebugString(std::string_view AText) {
  if (auto& sink = Sink()) {
    sink(AText);
    return;
  }
  std::string line(AText);
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void SetDebugOutputSink(std::function<void(std::string_view)> ASink) { Sink() = std::move(ASink); }

}  // namespace vexor
