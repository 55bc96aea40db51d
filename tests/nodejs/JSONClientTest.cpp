#include <gtest/gtest.h>

#include "common/NodeServer.h"
#include "packets/json/PacketConversions.h"
#include "nodejs/JSONClient.h"

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
    if (r.Data) {
      EXPECT_EQ(r.Data->GetCount(), c.Count) << c.Url;
    }
  }
}

TEST_F(JSONClientTest, PostAndPutSendExactlyThePacketText) {
  IPacketPtr request = TPacketConversions::PacketFromJSON(R"({"name":"Tärnwick ✓","n":[1,2.5,true,null]})");
  ASSERT_TRUE(request);
  const std::string body = request->AsString();
  for (const char* method : {"POST", "PUT"}) {
    TJSONClientResponse r;
    if (std::string(method) == "PUT")
      FClient.HttpPut(FServer->Url("/echo.json"), request, r);
    else
      FClient.HttpPost(FServer->Url("/echo.json"), request, r);
    ASSERT_EQ(r.Status, 200) << r.StatusText;
    ASSERT_TRUE(r.Data);
    IPacketPropertyAccessPtr echo = r.Data->GetProperties();
    EXPECT_EQ(echo->GetPropValue("method").AsString(), method);
    EXPECT_EQ(echo->GetPropValue("length").AsInt64(), static_cast<int64_t>(body.size()));
    EXPECT_EQ(echo->GetPropValue("body").AsString(), body);
  }
}

TEST(JSONClientResponse, ValidStatusIsOnly200Or201) {
  for (auto [status, valid] :
       std::vector<std::pair<int, bool>>{{200, true}, {201, true}, {204, false}, {-1, false}, {404, false}}) {
    TJSONClientResponse r;
    r.Status = status;
    EXPECT_EQ(r.IsValidStatus(), valid) << status;
  }
}

}  // namespace
}  // namespace vexor
