#pragma once
// TRunEvents: the output sink of one debug run in the window: the script's terminal bytes go to
// the output pane's queue as they arrive (what the lines tell about a failure is kept by the run).
// Threads: the requester calls it on its worker; the queue takes bytes from any thread.
#include <memory>
#include <string>

#include "requests/ChildProcessRequester.h"
#include "window/TerminalView.h"
#include "containers/RefCounted.h"

namespace vexor {

class TRunEvents : public TRefCntObject, public IChildProcessRequesterEvents {
 public:
  explicit TRunEvents(std::shared_ptr<TTerminalQueue> AOutput) : FOutput(std::move(AOutput)) {}

  void OnChunk(TChildStream, const std::string& ABytes) override { FOutput->Add(ABytes); }
  void OnOutput(const std::string&) override {}
  void OnErrorOutput(const std::string&) override {}
  void OnNotify(const std::string&) override {}
  void OnTerminated() override {}

 private:
  const std::shared_ptr<TTerminalQueue> FOutput;  // constant after construction
};

}  // namespace vexor
