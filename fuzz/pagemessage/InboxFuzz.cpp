// The bridge's inbox text as a page writes it: framed into token, name, id and arguments, or
// refused; the arguments then go through the page-message reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "browser/bridge/BridgeWire.h"
#include "platform/Exceptions.h"

using namespace vexor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string_view text(reinterpret_cast<const char*>(AData), ASize);
  TInboxMessage message;
  if (!TBridgeWire::SplitInbox(text, message)) return 0;
  if (message.Token.size() + message.Name.size() + message.Args.size() + 3 > text.size()) std::abort();
  if (message.Token.find('\n') != std::string::npos || message.Name.find('\n') != std::string::npos) std::abort();
  try {
    (void)TBridgeWire::ParseArguments(message.Args);
  } catch (const Exception&) {
  }
  return 0;
}
