#pragma once
// The general exception class every layer raises, carrying its fixed message text.
// Thread-safe as a value: copies share nothing mutable.
#include <exception>
#include <stdexcept>
#include <string>

namespace vexor {

class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& AMessage) : std::runtime_error(AMessage) {}
  const std::string Message() const { return what(); }
};

// The message of a caught exception: what() of a std::exception, "Unknown exception" for anything
// else, "" for no exception. Used where loops and callbacks report what they caught.
std::string ExceptionMessage(std::exception_ptr AException);

}  // namespace vexor
