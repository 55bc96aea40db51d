#pragma once
// TRunEvents: the events sink of one debug run in the window. The script's output and error
// lines go to the output pane's queue (error lines marked); the last error line is kept for the
// failure messages.
// Threads: the requester calls it on its worker; LastError from any thread.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "requests/ChildProcessRequester.h"
#include "window/OutputPane.h"
#include "containers/RefCounted.h"

namespace vexor {

class TRunEvents : public TRefCntObject, public IChildProcessRequesterEvents {
 public:
  explicit TRunEvents(std::shared_ptr<TOutputQueue> AOutput) : FOutput(std::move(AOutput)) {}

  void OnOutput(const std::string& ALine) override { FOutput->Add(ALine, false); }
  void OnErrorOutput(const std::string& ALine) override;
  void OnNotify(const std::string& AText) override { FOutput->Add(AText, false); }
  void OnTerminated() override {}

  // The script's last standard-error line that tells what went wrong (not blank, not a stack
  // frame, not node's version footer); "" before one.
  std::string LastError() const;

  // Called on the worker when node says the script has finished and node waits for the
  // debugger to go ("Waiting for the debugger to disconnect..."). Set before the run starts.
  std::function<void()> OnWaitingForDisconnect;
  static constexpr const char* kWaitingForDisconnect = "Waiting for the debugger to disconnect";

 private:
  const std::shared_ptr<TOutputQueue> FOutput;  // constant after construction
  mutable std::mutex FLock;                     // guards FLastError (a leaf)
  std::string FLastError;
};

}  // namespace vexor
