#include "window/RunEvents.h"

#include <string_view>

namespace vexor {
namespace {

// Lines that never say what went wrong: blanks, stack frames, node's version footer, the caret
// under a source line and the inspector's note that it waits for the front end to go.
bool TellsTheError(const std::string& ALine) {
  const size_t first = ALine.find_first_not_of(" \t\r");
  if (first == std::string::npos) return false;
  const std::string_view rest = std::string_view(ALine).substr(first);
  if (rest.rfind("at ", 0) == 0 && first > 0) return false;
  if (rest.find_first_not_of("^ \t") == std::string_view::npos) return false;
  if (ALine.rfind("Node.js v", 0) == 0) return false;
  if (ALine.rfind(TRunEvents::kWaitingForDisconnect, 0) == 0) return false;
  return true;
}

}  // namespace

void TRunEvents::OnErrorOutput(const std::string& ALine) {
  if (TellsTheError(ALine)) {
    std::lock_guard<std::mutex> lock(FLock);
    FLastError = ALine;
  }
  FOutput->Add(ALine, true);
  if (OnWaitingForDisconnect && ALine.rfind(kWaitingForDisconnect, 0) == 0) OnWaitingForDisconnect();
}

std::string TRunEvents::LastError() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FLastError;
}

}  // namespace vexor
