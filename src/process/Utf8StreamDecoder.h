#pragma once
// TUtf8StreamDecoder: turns a byte stream that arrives in arbitrary chunks into valid UTF-8
// text. A multi-byte character cut by a chunk boundary is held back and completed by the next
// chunk instead of being decoded as two broken halves; malformed bytes become U+FFFD.
// Decoding chunk by chunk and then calling Flush gives the same text as decoding the whole
// stream at once. One object per stream, used by one thread at a time.
#include <string>
#include <string_view>

namespace vexor {

class TUtf8StreamDecoder {
 public:
  // The text of AChunk plus whatever was held back, minus a new incomplete tail.
  std::string Decode(std::string_view AChunk);
  // The held-back bytes, decoded as they are (end of stream), and a fresh start.
  std::string Flush();
  size_t Pending() const { return FPending.size(); }

 private:
  // Owned by the using thread.
  std::string FPending;  // at most 3 bytes of an unfinished sequence
};

}  // namespace vexor
