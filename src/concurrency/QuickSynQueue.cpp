#include "concurrency/QuickSynQueue.h"

#include <cstdio>

namespace vexor {

void RaiseQueueWaitExceeded(const std::string& AName, uint32_t AMaxSize, uint32_t ACount) {
  char buf[64];
  std::snprintf(buf, sizeof buf, " (Max Size:%u/%u)", AMaxSize, ACount);
  throw Exception("(Possible deadlock)- Queue wait time exceeded: " + AName + buf);
}

void RaiseBubblingQueueFull(const std::string& AName, uint32_t ACount) {
  throw Exception(AName + ": Bubbling queue full " + std::to_string(ACount));
}

}  // namespace vexor
