// The JSON reader on arbitrary bytes: it either fails with its one message or gives a packet whose
// text reads back to the same text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"

using namespace vexor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  std::string_view text(reinterpret_cast<const char*>(AData), ASize);
  IPacketPtr p;
  try {
    p = TPacketConversions::PacketFromJSON(text);
  } catch (const Exception& e) {
    if (std::strcmp(e.what(), "Invalid JSON string.") != 0) std::abort();
    return 0;
  }
  if (!p) return 0;
  std::string once = TPacketConversions::PacketAsJSON(p);
  TPacketConversions::PacketAsJSON(p, true, true);
  IPacketPtr again = TPacketConversions::PacketFromJSON(once);
  if (!again || TPacketConversions::PacketAsJSON(again) != once) std::abort();
  return 0;
}
