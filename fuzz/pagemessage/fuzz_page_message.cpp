// A page's message text on arbitrary bytes: the reader either refuses it with its one message, or
// gives values whose text reads back to the same values; the values then go the way of a page
// call (conversion to variants, encoding as message parameters) without crashing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "browser/bridge/BridgeWire.h"
#include "browser/bridge/CefConversion.h"
#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"
#include "browser/bridge/ProcessMessage.h"

using namespace vexor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  static const bool kStarted = (InitPacketConversions(), true);
  (void)kStarted;
  std::string_view text(reinterpret_cast<const char*>(AData), ASize);
  TJsValueList values;
  try {
    values = TBridgeWire::ParseArguments(text);
  } catch (const Exception& e) {
    if (std::strcmp(e.what(), "Invalid page message") != 0) std::abort();
    return 0;
  }
  TJsValueList again = TBridgeWire::ParseArguments(TBridgeWire::ArgumentsText(values));
  if (again.size() != values.size()) std::abort();
  for (size_t i = 0; i < values.size(); ++i)
    if (!again[i]->Equals(*values[i])) std::abort();
  try {
    TVariantArray params = TCefConversion::VarArrayFromCef(values);
    TProcessMessages::SendBrowserRequest(nullptr, PID_BROWSER, 1, "dcall", params);
  } catch (const Exception&) {
    // Kinds a message cannot carry are refused with an error, as a page call would throw.
  }
  return 0;
}
