#pragma once
// The message of the exception of type E that a call raises, or "no error": lets a table of
// failing cases compare messages in one line each.
#include <exception>
#include <string>

namespace vexor::testing {

template <class E = std::exception, class F>
std::string ErrorText(F&& ACall) {
  try {
    ACall();
  } catch (const E& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace vexor::testing
