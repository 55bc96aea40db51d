#pragma once
// TRunEvents: the output sink of one debug run in the window: the script's output and error
// lines go to the output pane's queue (error lines marked).
// Threads: the requester calls it on its worker; the queue takes lines from any thread.
#include <memory>
#include <string>

#include "requests/ChildProcessRequester.h"
#include "window/OutputPane.h"
#include "containers/RefCounted.h"

namespace vexor {

class TRunEvents : public TRefCntObject, public IChildProcessRequesterEvents {
 public:
  explicit TRunEvents(std::shared_ptr<TOutputQueue> AOutput) : FOutput(std::move(AOutput)) {}

  void OnOutput(const std::string& ALine) override { FOutput->Add(ALine, false); }
  void OnErrorOutput(const std::string& ALine) override { FOutput->Add(ALine, true); }
  void OnNotify(const std::string& AText) override { FOutput->Add(AText, false); }
  void OnTerminated() override {}

 private:
  const std::shared_ptr<TOutputQueue> FOutput;  // constant after construction
};

}  // namespace vexor
