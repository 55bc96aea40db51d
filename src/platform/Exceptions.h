#pragma once
// The general exception class every layer raises, carrying its fixed message text.
// Thread-safe as a value: copies share nothing mutable.
#include <stdexcept>
#include <string>

namespace vexor {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& AMessage) : std::runtime_error(AMessage) {}
  const std::string Message() const { return what(); }
};

}  // namespace vexor
