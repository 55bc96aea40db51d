#include "window/RunEvents.h"

#include <cctype>
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

// Node's report of an uncaught error: "Error: boom", "TypeError [ERR_X]: ...", "Uncaught ...".
// On a terminal, where output and error are one stream, it tells the error from plain output.
// Test runners indent it under the failing test.
bool IsErrorReport(const std::string& ALine) {
  const size_t first = ALine.find_first_not_of(" \t");
  if (first == std::string::npos) return false;
  if (ALine.compare(first, 9, "Uncaught ") == 0) return true;
  size_t i = first;
  while (i < ALine.size() && (std::isalnum(static_cast<unsigned char>(ALine[i])) || ALine[i] == '_' || ALine[i] == '$'))
    ++i;
  const std::string_view name(ALine.data() + first, i - first);
  const bool named = name.size() >= 5 && (name.substr(name.size() - 5) == "Error" ||
                                          (name.size() >= 9 && name.substr(name.size() - 9) == "Exception"));
  if (!named) return false;
  const std::string_view rest = std::string_view(ALine).substr(i);
  return rest.empty() || rest[0] == ':' || rest.rfind(" [", 0) == 0;
}

}  // namespace

void TRunEvents::TakeLine(const std::string& ALine) {
  if (TellsTheError(ALine)) {
    std::lock_guard<std::mutex> lock(FLock);
    FLastError = ALine;
    if (IsErrorReport(ALine)) FLastReport = ALine.substr(ALine.find_first_not_of(" \t"));
  }
  if (OnWaitingForDisconnect && ALine.rfind(kWaitingForDisconnect, 0) == 0) OnWaitingForDisconnect();
}

void TRunEvents::OnOutput(const std::string& ALine) { TakeLine(ALine); }

void TRunEvents::OnErrorOutput(const std::string& ALine) { TakeLine(ALine); }

std::string TRunEvents::LastError() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FLastReport.empty() ? FLastError : FLastReport;
}

}  // namespace vexor
