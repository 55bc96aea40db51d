// A "/json" body as any program on the inspector port may send it: it is read as JSON or refused,
// and our target is picked from it; an address picked is always one the check accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "nodejs/NodeJsRequester.h"
#include "packets/json/PacketConversions.h"
#include "platform/Exceptions.h"

using namespace vexor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  static const bool kStarted = (InitPacketConversions(), true);
  (void)kStarted;
  const std::string body(reinterpret_cast<const char*>(AData), ASize);
  IPacketPtr targets;
  try {
    targets = TPacketConversions::PacketFromJSON(body);
  } catch (const Exception&) {
    return 0;
  }
  for (const char* ownId : {"", "t0", "id1"}) {
    std::string refusal;
    const std::string url = TBasicNodeJsRequester::SelectFrontEndUrl(targets, ownId, 5678, refusal);
    if (!url.empty() && !refusal.empty()) std::abort();
    if (!url.empty() && url.rfind("devtools://devtools/", 0) != 0) std::abort();
  }
  // The address check alone, on the raw bytes.
  (void)TBasicNodeJsRequester::FrontEndRefusal(body, 5678, "t0");
  return 0;
}
