// Lines node (or the script, which shares its standard error) writes: the announced target id,
// the inspector's failure and the banner are told apart on any bytes without a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "nodejs/NodeJsRequester.h"

using namespace vexor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string line(reinterpret_cast<const char*>(AData), ASize);
  const std::string id = TBasicNodeJsRequester::AnnouncedTargetId(line);
  if (!id.empty() && !TBasicNodeJsRequester::IsInspectorBanner(line)) std::abort();
  if (id.size() > line.size()) std::abort();
  (void)TBasicNodeJsRequester::IsInspectorFailure(line);
  return 0;
}
