// The XML packet reader on arbitrary bytes: it gives a packet, none, or one of the library's
// errors; a packet it gives can be written as XML (and JSON) again, and that text read back.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"

using namespace vexor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  std::string_view text(reinterpret_cast<const char*>(AData), ASize);
  IPacketPtr p;
  try {
    p = TPacketConversions::PacketFromXML(text);
  } catch (const Exception&) {
    return 0;
  }
  if (!p) return 0;
  std::string once = TPacketConversions::PacketAsXML(p);
  TPacketConversions::PacketAsXML(p, true);
  TPacketConversions::PacketAsJSON(p);
  try {
    IPacketPtr again = TPacketConversions::PacketFromXML(once);
    if (!again) std::abort();  // the writer's text always starts with a packet element
  } catch (const Exception&) {
    // A value the reader accepted loosely (a date before 1899, say) need not read back.
  }
  return 0;
}
