#include <gtest/gtest.h>

#include "http/HttpStatusLine.h"

namespace vexor {
namespace {

TEST(HttpStatusLine, ReadsVersionCodeAndReason) {
  struct Case {
    const char* Line;
    const char* Version;
    int Code;
    const char* Reason;
  };
  const Case Cases[] = {
      {"HTTP/1.1 200 OK\r\n", "HTTP/1.1", 200, "OK"},
      {"HTTP/1.1 404 Not Found\r\n", "HTTP/1.1", 404, "Not Found"},
      {"HTTP/1.0 503  Busy  \n", "HTTP/1.0", 503, "Busy"},
      {"HTTP/1.1 204\r\n", "HTTP/1.1", 204, ""},  // the reason phrase may be absent
      {"HTTP/1.1 204 \r\n", "HTTP/1.1", 204, ""},
      {"HTTP/2 200 OK", "HTTP/2", 200, "OK"},
      {"HTTP/1.1 200 Caf\xC3\xA9", "HTTP/1.1", 200, "Caf\xC3\xA9"},
      {"HTTP/1.1 200 Caf\xE9!", "HTTP/1.1", 200, "Caf\xEF\xBF\xBD!"},  // Latin-1 byte made safe
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Line);
    THttpStatusLine S;
    ASSERT_TRUE(ParseHttpStatusLine(C.Line, S));
    EXPECT_EQ(S.Version, C.Version);
    EXPECT_EQ(S.Code, C.Code);
    EXPECT_EQ(S.Reason, C.Reason);
  }
}

TEST(HttpStatusLine, RejectsOtherLines) {
  for (const char* Line :
       {"", "\r\n", "Content-Type: text/plain\r\n", "HTTP/1.1\r\n", "HTTP/1.1 20 OK", "HTTP/1.1 2000 OK",
        "HTTP/1.1 abc OK", "HTTP/ 200 OK", "HTTP/1.x 200 OK", "HTTP/1.1 099 Low", "http/1.1 200 OK"}) {
    SCOPED_TRACE(Line);
    THttpStatusLine S;
    S.Code = -5;
    EXPECT_FALSE(ParseHttpStatusLine(Line, S));
    EXPECT_EQ(S.Code, -5);
  }
}

}  // namespace
}  // namespace vexor
