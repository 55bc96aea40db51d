#pragma once
// Helpers shared by the synchronizer and pool tests: deadline waits, a gate that holds a worker,
// a thread-safe trace, and captures of the exception handler, the console and the message log.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/DebugOutput.h"
#include "common/ExceptionCapture.h"
#include "platform/MainThread.h"
#include "common/Wait.h"
#include "platform/Ticks.h"
#include "diagnostics/MessageLog.h"

namespace vexor::test {

// Holds whoever calls Pass until Open (or a 10 s safety deadline).
class TGate {
 public:
  void Pass() {
    std::unique_lock<std::mutex> lock(FMutex);
    FArrived = true;
    FCond.notify_all();
    FCond.wait_for(lock, std::chrono::seconds(10), [this] { return FOpen; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(FMutex);
    FOpen = true;
    FCond.notify_all();
  }
  bool WaitArrived() {
    std::unique_lock<std::mutex> lock(FMutex);
    return FCond.wait_for(lock, std::chrono::seconds(10), [this] { return FArrived; });
  }

 private:
  std::mutex FMutex;
  std::condition_variable FCond;
  bool FOpen = false;
  bool FArrived = false;
};

class TTrace {
 public:
  void Add(const std::string& AItem) {
    std::lock_guard<std::mutex> lock(FMutex);
    if (!FText.empty()) FText += ' ';
    FText += AItem;
  }
  std::string Text() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FText;
  }

 private:
  mutable std::mutex FMutex;
  std::string FText;
};

using vexor::testing::TExceptionCapture;

// Collects the debug-output channel (console log) while alive.
class TConsoleCapture {
 public:
  TConsoleCapture() {
    SetDebugOutputSink([this](std::string_view ALine) {
      std::lock_guard<std::mutex> lock(FMutex);
      FText.append(ALine);
      FText += '\n';
    });
  }
  ~TConsoleCapture() { SetDebugOutputSink(nullptr); }
  std::string Text() const {
    std::lock_guard<std::mutex> lock(FMutex);
    return FText;
  }
  bool Contains(const std::string& AText) const { return Text().find(AText) != std::string::npos; }

 private:
  mutable std::mutex FMutex;
  std::string FText;
};

// True when the in-memory message log holds a message containing AText.
inline bool LogContains(const std::string& AText) {
  if (!MessagesList()) return false;
  for (const TMessageItem& item : MessagesList()->Items())
    if (item.Msg().find(AText) != std::string::npos) return true;
  return false;
}

}  // namespace vexor::test
