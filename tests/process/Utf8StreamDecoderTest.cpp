// Decoding a byte stream that arrives in arbitrary chunks.
#include <gtest/gtest.h>

#include "platform/TextUtf.h"
#include "process/Utf8StreamDecoder.h"

namespace vexor {
namespace {

TEST(Utf8StreamDecoder, SplitCharactersAreJoinedAndBadBytesReplaced) {
  struct Case {
    const char* Name;
    std::vector<std::string> Chunks;
    std::vector<std::string> Expected;  // per chunk, then the flush
  };
  const Case cases[] = {
      {"two-byte split", {"a\xc3", "\xa9z"}, {"a", "\xc3\xa9z", ""}},
      {"four-byte split in three", {"\xf0\x9f", "\x98", "\x80!"}, {"", "", "\xf0\x9f\x98\x80!", ""}},
      {"bad byte replaced at once",
       {"\xff"
        "a"},
       {"\xef\xbf\xbd"
        "a",
        ""}},
      {"cut-off end flushed as replacement", {"ok\xe2\x82"}, {"ok", "\xef\xbf\xbd\xef\xbf\xbd"}},
      {"broken sequence not held back",
       {"\xe2"
        "a"},
       {"\xef\xbf\xbd"
        "a",
        ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TUtf8StreamDecoder decoder;
    std::vector<std::string> got;
    std::string whole;
    for (const std::string& chunk : c.Chunks) {
      got.push_back(decoder.Decode(chunk));
      whole += chunk;
    }
    got.push_back(decoder.Flush());
    EXPECT_EQ(got, c.Expected);
    std::string joined;
    for (const std::string& s : got) joined += s;
    EXPECT_EQ(joined, Utf8Sanitize(whole));
    EXPECT_EQ(decoder.Pending(), 0u);
  }
}

}  // namespace
}  // namespace vexor
