#pragma once
// Collects the messages that reach the application exception handler while alive.
// Any thread may raise into it; read it from the test's thread.
#include <mutex>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/MainThread.h"

namespace vexor::testing {

class TExceptionCapture {
 public:
  TExceptionCapture() {
    SetAppExceptionHandler([this](std::exception_ptr AException, const char*) {
      std::lock_guard<std::mutex> lock(FLock);
      FTexts.push_back(ExceptionMessage(AException));
    });
  }
  ~TExceptionCapture() { SetAppExceptionHandler(nullptr); }
  TExceptionCapture(const TExceptionCapture&) = delete;
  TExceptionCapture& operator=(const TExceptionCapture&) = delete;

  std::vector<std::string> Texts() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FTexts;
  }

 private:
  mutable std::mutex FLock;
  std::vector<std::string> FTexts;  // guarded by FLock
};

}  // namespace vexor::testing
