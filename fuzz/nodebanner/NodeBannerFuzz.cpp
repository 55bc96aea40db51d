// node's inspector lines on the child's standard error: any line is classified without failing,
// and an announced port is a port.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "nodejs/NodeJsRequester.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string line(reinterpret_cast<const char*>(AData), ASize);
  using vexor::TBasicNodeJsRequester;
  (void)TBasicNodeJsRequester::IsInspectorBanner(line);
  (void)TBasicNodeJsRequester::IsInspectorFailure(line);
  (void)TBasicNodeJsRequester::AnnouncedTargetId(line);
  const int32_t port = TBasicNodeJsRequester::AnnouncedPort(line);
  if (port < 0 || port > 65535) std::abort();
  return 0;
}
