#include "process/Utf8StreamDecoder.h"

#include "platform/TextUtf.h"

namespace vexor {

std::string TUtf8StreamDecoder::Decode(std::string_view AChunk) {
  std::string bytes;
  bytes.reserve(FPending.size() + AChunk.size());
  bytes.append(FPending).append(AChunk);
  const size_t tail = Utf8IncompleteTail(bytes);
  FPending.assign(bytes, bytes.size() - tail, tail);
  bytes.resize(bytes.size() - tail);
  return Utf8Sanitize(bytes);
}

std::string TUtf8StreamDecoder::Flush() {
  std::string text = Utf8Sanitize(FPending);
  FPending.clear();
  return text;
}

}  // namespace vexor
