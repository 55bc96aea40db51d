// The HTTP client against a real node server on loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "platform/Exceptions.h"
#include "common/NodeServer.h"
#include "http/HttpClient.h"

namespace vexor {
namespace {

using test::TNodeServer;
using ::testing::HasSubstr;

class HttpClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (TNodeServer::NodeAvailable()) Server = std::make_unique<TNodeServer>(TW_HTTP_TEST_SERVER);
  }
  static void TearDownTestSuite() { Server.reset(); }
  void SetUp() override {
    if (!Server) GTEST_SKIP() << "node is not installed";
  }
  static std::string Url(const std::string& APath) { return Server->Url(APath); }

  // The message of the vexor::Exception the call raises; fails the test when it raises none.
  template <typename F>
  static std::string ErrorOf(F&& ACall) {
    try {
      ACall();
    } catch (const Exception& E) {
      return E.what();
    }
    ADD_FAILURE() << "no vexor::Exception raised";
    return {};
  }

  static inline std::unique_ptr<TNodeServer> Server;
  THttpClient Client;
};

TEST_F(HttpClientTest, SuccessfulResponsesKeepCodeReasonAndBody) {
  struct Case {
    const char* Path;
    int Code;
    const char* Reason;
    const char* Body;
  };
  const Case Cases[] = {
      {"/json", 200, "OK", R"([{"id":"a1","devtoolsFrontendUrl":"devtools://devtools/bundled/js_app.html?ws=x"}])"},
      {"/notjson", 200, "OK", "this is { not json"},
      {"/empty", 200, "OK", ""},
      {"/custom", 299, "Fine By Me", "custom"},  // reason taken from the wire, not from a table
      {"/redirect", 302, "Found", ""},           // redirects are not followed unless asked
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Path);
    THttpResponse R = Client.Get(Url(C.Path));
    EXPECT_EQ(R.StatusCode, C.Code);
    EXPECT_EQ(R.StatusText, C.Reason);
    EXPECT_EQ(R.Body, C.Body);
    EXPECT_EQ(Client.ResponseCode(), C.Code);
    EXPECT_EQ(Client.ResponseText(), C.Reason);
  }
}

TEST_F(HttpClientTest, ErrorStatusesRaiseTheirStatusLine) {
  EXPECT_EQ(ErrorOf([&] { Client.Get(Url("/missing")); }), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(Client.ResponseCode(), 404);
  EXPECT_EQ(Client.ResponseText(), "Not Found");
  EXPECT_EQ(ErrorOf([&] { Client.Post(Url("/broken"), "x"); }), "HTTP/1.1 503 Down For Maintenance");
  EXPECT_EQ(Client.ResponseCode(), 503);
}

TEST_F(HttpClientTest, TransportFailuresRaiseLibcurlText) {
  test::TDeadPort Dead;
  const std::string DeadUrl = "http://127.0.0.1:" + std::to_string(Dead.Port()) + "/json";
  struct Case {
    std::string Url;
    std::string Fragment;
  };
  const Case Cases[] = {
      {DeadUrl, "127.0.0.1 port " + std::to_string(Dead.Port())},
      {"file:///etc/passwd", "file"},  // only http and https are ever fetched
      {"http://[::1", "URL"},
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Url);
    EXPECT_THAT(ErrorOf([&] { Client.Get(C.Url); }), HasSubstr(C.Fragment));
    EXPECT_EQ(Client.ResponseCode(), 0);
  }
  // A failure leaves the client usable.
  EXPECT_EQ(Client.Get(Url("/json")).StatusCode, 200);
}

TEST_F(HttpClientTest, RequestBodiesArriveByteForByte) {
  const std::string Text = std::string(
                               "Gr\xC3\xBC\xC3\x9F"
                               "e \xE4\xB8\x96\xE7\x95\x8C \xF0\x9F\x99\x82 ") +
                           std::string("\0\xFF\r\n", 4) + "end";
  struct Case {
    THttpMethod Method;
    std::string Body;
    std::string Expected;  // what the server saw: method, Content-Length, Expect, Content-Type, body
  };
  const std::string Len = std::to_string(Text.size());
  const Case Cases[] = {
      {hmPost, Text, "POST\nlength=" + Len + "\nexpect=-\ntype=-\n" + Text},
      {hmPut, Text, "PUT\nlength=" + Len + "\nexpect=-\ntype=-\n" + Text},
      {hmPost, "", "POST\nlength=0\nexpect=-\ntype=-\n"},
      {hmPut, "", "PUT\nlength=0\nexpect=-\ntype=-\n"},
      {hmDelete, "", "DELETE\nlength=-\nexpect=-\ntype=-\n"},
      {hmDelete, Text, "DELETE\nlength=" + Len + "\nexpect=-\ntype=-\n" + Text},
      {hmGet, "", "GET\nlength=-\nexpect=-\ntype=-\n"},
  };
  // The same client throughout: each request must clear what the previous one set.
  for (const Case& C : Cases) {
    SCOPED_TRACE(std::to_string(C.Method) + " with " + std::to_string(C.Body.size()) + " bytes");
    THttpResponse R = Client.Request(C.Method, Url("/echo"), C.Body);
    EXPECT_EQ(R.StatusCode, 200);
    EXPECT_EQ(R.Body, C.Expected);
  }
}

TEST_F(HttpClientTest, LargeBodyIsSentWithoutExpectContinue) {
  std::string Big(2 * 1024 * 1024 + 7, '\0');
  for (size_t I = 0; I < Big.size(); ++I) Big[I] = static_cast<char>(I * 31 + (I >> 11));
  THttpResponse R = Client.Put(Url("/echo"), Big);
  EXPECT_EQ(R.Body, "PUT\nlength=" + std::to_string(Big.size()) + "\nexpect=-\ntype=-\n" + Big);
}

TEST_F(HttpClientTest, ContentTypeIsSentOnlyWhenSet) {
  Client.SetContentType("application/json");
  EXPECT_EQ(Client.Post(Url("/echo"), "{}").Body, "POST\nlength=2\nexpect=-\ntype=application/json\n{}");
  Client.SetContentType("");
  EXPECT_EQ(Client.Post(Url("/echo"), "{}").Body, "POST\nlength=2\nexpect=-\ntype=-\n{}");
}

TEST_F(HttpClientTest, ReadTimeoutEndsASilentExchangeAndTheClientRecovers) {
  Client.SetReadTimeout(300);
  // /slow answers only after 3 s; an answer here would mean the time-out never fired.
  EXPECT_THAT(ErrorOf([&] { Client.Get(Url("/slow")); }), HasSubstr("timed out"));
  // The abandoned connection must not hand its late answer to the next request.
  EXPECT_EQ(Client.Get(Url("/json")).StatusText, "OK");
}

TEST_F(HttpClientTest, ReadTimeoutCountsSilenceNotTheWholeExchange) {
  // Eight pieces 100 ms apart take longer than the time-out, yet the line is never silent that long.
  Client.SetReadTimeout(500);
  EXPECT_EQ(Client.Get(Url("/trickle")).Body, "01234567");
}

TEST_F(HttpClientTest, ConnectionIsReusedAcrossRequests) {
  const std::string First = Client.Get(Url("/conn")).Body;
  Client.Post(Url("/echo"), "x");
  ErrorOf([&] { Client.Get(Url("/missing")); });
  EXPECT_EQ(Client.Get(Url("/conn")).Body, First);
  // Another client has its own connection, so the server's answer does tell connections apart.
  THttpClient Other;
  EXPECT_NE(Other.Get(Url("/conn")).Body, First);
}

TEST_F(HttpClientTest, RedirectsAreFollowedWhenAsked) {
  Client.SetHandleRedirects(true);
  THttpResponse R = Client.Get(Url("/redirect"));
  EXPECT_EQ(R.StatusCode, 200);
  EXPECT_EQ(R.StatusText, "OK");
  EXPECT_THAT(R.Body, HasSubstr("devtoolsFrontendUrl"));
}

TEST_F(HttpClientTest, ClientsOnDifferentThreadsRunConcurrently) {
  auto Work = [](char ATag, std::string& AFailure) {
    THttpClient Own;
    for (int I = 0; I < 20 && AFailure.empty(); ++I) {
      std::string Body(100 + I, ATag);
      try {
        if (Own.Post(Url("/echo"), Body).Body !=
            "POST\nlength=" + std::to_string(Body.size()) + "\nexpect=-\ntype=-\n" + Body)
          AFailure = "wrong echo";
      } catch (const Exception& E) {
        AFailure = E.what();
      }
    }
  };
  std::string FailureA, FailureB;
  std::thread A(Work, 'a', std::ref(FailureA));
  std::thread B(Work, 'b', std::ref(FailureB));
  A.join();
  B.join();
  EXPECT_EQ(FailureA, "");
  EXPECT_EQ(FailureB, "");
}

}  // namespace
}  // namespace vexor
