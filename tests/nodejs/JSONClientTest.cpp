#include <gtest/gtest.h>

#include "NodeServer.h"
#include "PacketConversions.h"
#include "uHttpClient.h"
#include "uJSONClient.h"

namespace vexor {
namespace {

using test::TDeadPort;
using test::TNodeServer;

class JSONClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    InitPacketConversions();
    if (TNodeServer::NodeAvailable()) FServer = new TNodeServer(TW_HTTP_TEST_SERVER);
  }
  static void TearDownTestSuite() {
    delete FServer;
    FServer = nullptr;
  }
  void SetUp() override {
    if (!FServer) GTEST_SKIP() << "node is not installed";
  }
  static TNodeServer* FServer;
  TJSONClient FClient;
};
TNodeServer* JSONClientTest::FServer = nullptr;

TEST_F(JSONClientTest, ResponsesFollowTheFailureTable) {
  TDeadPort dead;
  struct Case {
    std::string Url;
    int32_t Status;
    bool HasData;
    int32_t Count;  // elements of Data when it has any
    std::string TextPart;
  } cases[] = {
      {FServer->Url("/json"), 200, true, 1, "OK"},
      {FServer->Url("/empty"), 200, true, 0, "OK"},
      {FServer->Url("/notjson"), -1, false, 0, "Invalid JSON string."},
      {FServer->Url("/missing"), -1, false, 0, "404"},
      {"http://127.0.0.1:" + std::to_string(dead.Port()) + "/json", -1, false, 0, "onnect"},
  };
  for (const auto& c : cases) {
    TJSONClientResponse r;
    FClient.HttpGet(c.Url, r);
    EXPECT_EQ(r.Status, c.Status) << c.Url << ": " << r.StatusText;
    EXPECT_NE(r.StatusText.find(c.TextPart), std::string::npos) << c.Url << ": " << r.StatusText;
    ASSERT_EQ(bool(r.Data), c.HasData) << c.Url;
    if (r.Data) EXPECT_EQ(r.Data->GetCount(), c.Count) << c.Url;
  }
}

TEST_F(JSONClientTest, PostSendsExactlyThePacketText) {
  IPacketPtr request = TPacketConversions::PacketFromJSON(R"({"name":"Tärnwick ✓","n":[1,2.5,true,null]})");
  ASSERT_TRUE(request);
  for (bool put : {false, true}) {
    TJSONClientResponse r;
    if (put) FClient.HttpPut(FServer->Url("/echo"), request, r);
    else FClient.HttpPost(FServer->Url("/echo"), request, r);
    // /echo answers with its own header lines, then the body: not JSON, so the status is -1;
    // the raw exchange is checked through the HTTP layer below.
    EXPECT_EQ(r.Status, -1);
  }
  // The body the client sent, read back through a client of the layer beneath.
  THttpClient raw;
  std::string body = request->AsString();
  THttpResponse echo = raw.Post(FServer->Url("/echo"), body);
  EXPECT_EQ(echo.Body.substr(echo.Body.size() - body.size()), body);
  EXPECT_NE(echo.Body.find("length=" + std::to_string(body.size())), std::string::npos);
}

TEST(JSONClientResponse, ValidStatusIsOnly200Or201) {
  for (auto [status, valid] : std::vector<std::pair<int, bool>>{{200, true}, {201, true}, {204, false}, {-1, false}, {404, false}}) {
    TJSONClientResponse r;
    r.Status = status;
    EXPECT_EQ(r.IsValidStatus(), valid) << status;
  }
}

}  // namespace
}  // namespace vexor
