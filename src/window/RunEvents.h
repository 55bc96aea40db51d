#pragma once
// TRunEvents: the events sink of one debug run in the window. The script's terminal bytes go to
// the output pane's queue as they arrive; the last line that tells what went wrong is kept for
// the failure messages.
// Threads: the requester calls it on its worker; LastError from any thread.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "requests/ChildProcessRequester.h"
#include "window/TerminalView.h"
#include "containers/RefCounted.h"

namespace vexor {

class TRunEvents : public TRefCntObject, public IChildProcessRequesterEvents {
 public:
  explicit TRunEvents(std::shared_ptr<TTerminalQueue> AOutput) : FOutput(std::move(AOutput)) {}

  void OnChunk(TChildStream, const std::string& ABytes) override { FOutput->Add(ABytes); }
  // A terminal's lines (output and error together), as text.
  void OnOutput(const std::string& ALine) override;
  void OnErrorOutput(const std::string& ALine) override;
  void OnNotify(const std::string&) override {}
  void OnTerminated() override {}

  // The script's last line that tells what went wrong: the last error report ("TypeError: ...")
  // when there is one, otherwise the last error-stream line (or, on a terminal, the last line)
  // that is not blank, a stack frame or node's version footer; "" before one.
  std::string LastError() const;

  // Called on the worker when node says the script has finished and node waits for the
  // debugger to go ("Waiting for the debugger to disconnect..."). Set before the run starts.
  std::function<void()> OnWaitingForDisconnect;
  static constexpr const char* kWaitingForDisconnect = "Waiting for the debugger to disconnect";

 private:
  void TakeLine(const std::string& ALine);
  const std::shared_ptr<TTerminalQueue> FOutput;  // constant after construction
  mutable std::mutex FLock;                       // guards the two below (a leaf)
  std::string FLastReport;                        // the last "…Error: …" line
  std::string FLastError;
};

}  // namespace vexor
