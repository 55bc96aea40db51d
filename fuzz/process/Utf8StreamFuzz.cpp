// Child output decoding: any bytes cut into any chunks must decode to valid UTF-8 that equals
// decoding the whole stream at once.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/TextUtf.h"
#include "process/Utf8StreamDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize == 0) return 0;
  // The first byte chooses the chunk sizes.
  const unsigned seed = AData[0];
  const std::string stream(reinterpret_cast<const char*>(AData + 1), ASize - 1);
  vexor::TUtf8StreamDecoder decoder;
  std::string decoded;
  size_t pos = 0, step = 0;
  while (pos < stream.size()) {
    const size_t len = 1 + ((seed >> (step++ % 8)) & 7u);
    decoded += decoder.Decode(std::string_view(stream).substr(pos, len));
    pos += len;
    if (decoder.Pending() > 3) std::abort();
  }
  decoded += decoder.Flush();
  if (decoded != vexor::Utf8Sanitize(stream)) std::abort();
  if (vexor::Utf8Sanitize(decoded) != decoded) std::abort();
  return 0;
}
