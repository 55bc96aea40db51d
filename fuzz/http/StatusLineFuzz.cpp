// Status lines come straight from the server: any bytes must parse or be refused, and what is
// accepted must be well formed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/TextUtf.h"
#include "http/HttpStatusLine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  std::string_view Line(reinterpret_cast<const char*>(AData), ASize);
  vexor::THttpStatusLine S;
  if (vexor::ParseHttpStatusLine(Line, S)) {
    if (S.Code < 100 || S.Code > 999) std::abort();
    if (S.Version.rfind("HTTP/", 0) != 0) std::abort();
    if (vexor::Utf8Sanitize(S.Reason) != S.Reason) std::abort();
  }
  return 0;
}
