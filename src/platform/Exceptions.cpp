#include "platform/Exceptions.h"

namespace vexor {

std::string ExceptionMessage(std::exception_ptr AException) {
  if (!AException) return std::string();
  try {
    std::rethrow_exception(AException);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

}  // namespace vexor
