#include "browser/core/ExCefClientHandler.h"

#include "browser/core/GlobalMainThreadSynchronizer.h"

namespace vexor {
namespace {

// Main thread only, like everything of the pump.
int32_t gClientCount = 0;
int32_t gLoopDepth = 0;
IBrowserPumpTimer* gPumpTimer = nullptr;
std::function<void()> gMessageLoopWork;

// Restores the loop depth on every way out of a scope.
class TDepthScope {
 public:
  explicit TDepthScope(int32_t ADepth) : FSaved(gLoopDepth) { gLoopDepth = ADepth; }
  ~TDepthScope() { gLoopDepth = FSaved; }
  TDepthScope(const TDepthScope&) = delete;
  TDepthScope& operator=(const TDepthScope&) = delete;

 private:
  int32_t FSaved;
};

}  // namespace

TExCefClientHandler::TExCefClientHandler(bool ARenderer) : FRenderer(ARenderer) {
  if (gClientCount == 0 && gPumpTimer) gPumpTimer->Start(kPumpPeriodMs, &TExCefClientHandler::PumpTick);
  ++gClientCount;
}

TExCefClientHandler::~TExCefClientHandler() {
  if (--gClientCount == 0 && gPumpTimer) gPumpTimer->Stop();
}

bool TExCefClientHandler::InCefLoop() { return gLoopDepth > 0; }
int32_t TExCefClientHandler::ClientCount() { return gClientCount; }
int32_t TExCefClientHandler::LoopDepth() { return gLoopDepth; }

void TExCefClientHandler::PumpTick() {
  {
    TDepthScope work(gLoopDepth + 1);
    try {
      if (gMessageLoopWork) gMessageLoopWork();
    } catch (...) {
      // The runtime's own failures do not stop the host's queued work.
    }
  }
  // At depth 0 the drain runs at depth 1, so that work synchronized from a task queues behind it.
  TDepthScope drain(gLoopDepth == 0 ? 1 : gLoopDepth);
  TGlobalMainThreadSynchronizer::ProcessQueue();
}

void TExCefClientHandler::SetPumpTimer(IBrowserPumpTimer* ATimer) { gPumpTimer = ATimer; }

void TExCefClientHandler::SetMessageLoopWork(std::function<void()> AWork) { gMessageLoopWork = std::move(AWork); }

}  // namespace vexor
