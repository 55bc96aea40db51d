// The browser's own URL spaces answered without a browser: start page, files (and every way of
// leaving the base directory), images, the API, headers, and the main-thread handlers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <fstream>

#include "platform/MainThread.h"
#include "browser/core/MimePacket.h"
#include "packets/json/PacketConversions.h"
#include "browser/core/ResourceHandler.h"
#include "browser/core/ResourceRouter.h"
#include "common/TempDir.h"

namespace vexor {
namespace {

using testing::TTempDir;

struct TAnswer {
  bool Failed = false;
  bool HasBody = false;
  std::string Body;
  TResponseData Response;
  std::string Header(const char* AName) const {
    return Response.HeaderMap ? Response.HeaderMap->GetProperty(AName, Variant("<none>")).AsString() : "<no map>";
  }
};

class ResourceRouter : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitPacketConversions(); }
  void SetUp() override {
    InitMainThread();
    FBase = FRoot / "base";
    std::filesystem::create_directories(FBase + "/sub");
    Write(FBase + "/x.html", "<p>x</p>");
    Write(FBase + "/sub/y.txt", "why");
    Write(FBase + "/A.txt", "letter A");
    Write(FBase + "/a%", "percent");
    Write(FBase + "/with space.txt", "blank");
    Write(FRoot / "secret.txt", "secret");
    std::filesystem::create_symlink(FRoot / "secret.txt", FBase + "/out");
    std::filesystem::create_symlink(FRoot.Path(), FBase + "/up");
    std::filesystem::create_symlink("x.html", FBase + "/link.html");
    FRouter->SetBaseDir(FBase + "/");
  }
  static void Write(const std::string& APath, const std::string& AText) { std::ofstream(APath) << AText; }

  TAnswer Ask(const std::string& AUrl, const std::string& AMethod = "GET",
              std::optional<std::string> ABody = std::nullopt) {
    TAnswer a;
    TDataStreamPtr stream;
    a.Failed = FRouter->ProcessResourceRequest({AUrl, AMethod, std::move(ABody)}, stream, a.Response);
    a.HasBody = stream != nullptr;
    if (stream) a.Body = stream->ReadAll();
    return a;
  }

  TTempDir FRoot;
  std::string FBase;
  std::shared_ptr<TResourceRouter> FRouter = std::make_shared<TResourceRouter>();
};

TEST_F(ResourceRouter, StartPageServesTheCurrentHtml) {
  FRouter->SetHTML("<h1>first</h1>");
  TAnswer a = Ask("ctrl-data://");
  EXPECT_FALSE(a.Failed);
  EXPECT_EQ(a.Body, "<h1>first</h1>");
  EXPECT_EQ(a.Response.Status, 200);
  EXPECT_EQ(a.Response.MimeType, "text/html");
  EXPECT_EQ(a.Header("Server"), "DuzAviRor");
  EXPECT_EQ(a.Header("Content-Length"), "14");
  EXPECT_EQ(a.Header("Content-Type"), "");
  FRouter->SetHTML("<h1>second ü</h1>");
  EXPECT_EQ(Ask("ctrl-data://").Body, "<h1>second ü</h1>");
}

TEST_F(ResourceRouter, StartPageAssignedWhileAnotherThreadServesIt) {
  const std::string first(3000, 'a'), second(5000, 'b');
  FRouter->SetHTML(first);
  std::atomic<bool> torn{false};
  std::thread server([&] {
    for (int i = 0; i < 2000; ++i) {
      std::string body = Ask("ctrl-data://").Body;
      if (body != first && body != second) torn = true;
    }
  });
  for (int i = 0; i < 2000; ++i) FRouter->SetHTML(i % 2 ? first : second);
  server.join();
  EXPECT_FALSE(torn);
}

TEST_F(ResourceRouter, FilesComeOnlyFromInsideTheBaseDirectory) {
  const std::string secret = FRoot / "secret.txt";
  struct TCase {
    std::string Url;
    int Status;
    std::string Body;
    std::string Mime;
  } cases[] = {
      {"ctrl-data://x.html", 200, "<p>x</p>", "text/html"},
      {"ctrl-data://sub/y.txt?q=1#frag", 200, "why", "text/plain"},
      {"ctrl-data://%41.txt", 200, "letter A", "text/plain"},
      {"ctrl-data://with+space.txt", 200, "blank", "text/plain"},
      {"ctrl-data://with%20space.txt", 200, "blank", "text/plain"},
      {"ctrl-data://a%", 200, "percent", ""},
      {"ctrl-data://link.html", 200, "<p>x</p>", "text/html"},
      {"https://local/x.html", 200, "<p>x</p>", "text/html"},
      {"https://local/sub/y.txt", 200, "why", "text/plain"},
      {"ctrl-data://missing.html", 404, "", ""},
      {"ctrl-data://sub", 404, "", ""},
      {"ctrl-data://../secret.txt", 404, "", ""},
      {"ctrl-data://%2e%2e/secret.txt", 404, "", ""},
      {"ctrl-data://sub/%2E%2E/%2E%2E/secret.txt", 404, "", ""},
      {"ctrl-data://" + secret, 404, "", ""},
      {"ctrl-data:///" + secret, 404, "", ""},
      {"ctrl-data://%2F" + secret.substr(1), 404, "", ""},
      {"ctrl-data://out", 404, "", ""},
      {"ctrl-data://up/secret.txt", 404, "", ""},
      {"ctrl-data://x.html%00.png", 404, "", ""},
      {"https://local/../secret.txt", 404, "", ""},
      {"https://local/%2e%2e/secret.txt", 404, "", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Url);
    TAnswer a = Ask(c.Url);
    EXPECT_EQ(a.Response.Status, c.Status);
    EXPECT_EQ(a.Failed, c.Status == 404);
    EXPECT_EQ(a.HasBody, c.Status == 200);
    EXPECT_EQ(a.Body, c.Body);
    EXPECT_EQ(a.Response.MimeType, c.Mime);
    EXPECT_EQ(a.Header("Server"), "DuzAviRor");
    if (c.Status == 200) {
      EXPECT_EQ(a.Header("Content-Type"), c.Mime);
    }
  }
  // Nothing of ours: no answer at all.
  TAnswer other = Ask("https://example.org/x.html");
  EXPECT_FALSE(other.Failed);
  EXPECT_FALSE(other.HasBody);
  EXPECT_EQ(other.Response.Status, 0);
  EXPECT_EQ(other.Header("Server"), "DuzAviRor");
}

TEST_F(ResourceRouter, MapURLtoFilePathDecodesCutsAndStaysBelow) {
  struct TCase {
    const char* Url;
    const char* Path;
  } cases[] = {
      {"%41", "b/A"},           {"%4a%4A", "b/JJ"}, {"a%4", "b/a%4"},    {"a%", "b/a%"},
      {"a+b", "b/a b"},         {"x#y?z", "b/x"},   {"x?y#z", "b/x"},    {"x%3Fy", "b/x"},
      {"..a/b..", "b/..a/b.."}, {"", "b/"},         {"%zz", ""},         {"../x", ""},
      {"a/../x", ""},           {"a/..", ""},       {"/etc/passwd", ""}, {"%2fetc", ""},
      {"..%2Fx", ""},           {"x/%2e%2e", ""},
  };
  for (const TCase& c : cases) EXPECT_EQ(TResourceRouter::MapURLtoFilePath(c.Url, "b/"), c.Path) << c.Url;
}

TEST_F(ResourceRouter, ImagesByKey) {
  auto list = [](int ACount) {
    auto images = std::make_shared<TPngImageList>();
    for (int i = 0; i < ACount; ++i) images->push_back("png#" + std::to_string(i));
    return images;
  };
  FRouter->SetPngImages(list(7));
  TAnswer seven = Ask("img:7");
  EXPECT_TRUE(seven.Failed);
  EXPECT_EQ(seven.Response.Status, 404);
  EXPECT_FALSE(seven.HasBody);
  FRouter->SetPngImages(list(8));
  TAnswer eighth = Ask("img:7");
  EXPECT_FALSE(eighth.Failed);
  EXPECT_EQ(eighth.Body, "png#7");
  EXPECT_EQ(eighth.Response.MimeType, "image/png");
  EXPECT_EQ(eighth.Header("Content-Type"), "");
  for (const char* bad : {"img:8", "img:-1", "img:x", "img:", "img:7?x"}) EXPECT_TRUE(Ask(bad).Failed) << bad;
  FRouter->Update([](TResourceRouter::TSettings& S) {
    S.OnGetPngImage = [](const std::string& AKey, std::string& AOut) {
      AOut = "custom " + AKey;
      return AKey != "none";
    };
  });
  EXPECT_EQ(Ask("img:abc").Body, "custom abc");
  EXPECT_TRUE(Ask("img:none").Failed);
}

class ResourceRouterApi : public ResourceRouter {
 protected:
  void SetUp() override {
    ResourceRouter::SetUp();
    FRouter->SetOnSyncAPIRequest([this](const std::string& AMethod, const IPacketPtr& AParams,
                                        const IPacketPtr& AData) {
      FMethod = AMethod;
      FParams = AParams->AsString();
      FData = AData->AsString();
      return FResult;
    });
  }
  std::string FMethod, FParams, FData;
  IPacketPtr FResult;
};

TEST_F(ResourceRouterApi, QueryItemsBecomeParametersAndTheResultItsJson) {
  FResult = NewPacket();
  FResult->PutProperty("name", "Ann");
  TAnswer a = Ask("ctrl-data:////api/users?id=5&x");
  EXPECT_EQ(FMethod, "users");
  EXPECT_EQ(FParams, R"({"id":"5","$2":"x"})");
  EXPECT_EQ(FData, "[]");
  EXPECT_FALSE(a.Failed);
  EXPECT_EQ(a.Response.Status, 200);
  EXPECT_EQ(a.Body, R"({"name":"Ann"})");
  EXPECT_EQ(a.Response.MimeType, "application/json");
  EXPECT_EQ(a.Header("Content-Type"), "application/json");
  EXPECT_EQ(a.Header("Content-Length"), "14");

  struct TCase {
    const char* Url;
    const char* Method;
    const char* Params;
  } cases[] = {
      {"ctrl-data:////api/echo?hello", "echo", R"(["hello"])"},
      {"ctrl-data:////api/echo?a%20b=c+d&&", "echo", R"({"a b":"c d"})"},
      {"ctrl-data:////api/echo?q=\"a&b\"&z", "echo", R"({"q":"a&b","$2":"z"})"},
      {"ctrl-data:////api/echo?=v&w", "echo", R"({"$1":"=v","$2":"w"})"},
      {"ctrl-data:////api/a/b", "a/b", "[]"},
      {"ctrl-data:////api", "", "[]"},
      {"https://local/api/users?id=1", "users", R"({"id":"1"})"},
  };
  for (const TCase& c : cases) {
    FMethod = "<not called>";
    Ask(c.Url);
    EXPECT_EQ(FMethod, c.Method) << c.Url;
    EXPECT_EQ(FParams, c.Params) << c.Url;
  }
}

TEST_F(ResourceRouterApi, ResultRulesAndTheBody) {
  FResult = nullptr;
  TAnswer none = Ask("ctrl-data:////api/m");
  EXPECT_EQ(none.Body, "[]");
  EXPECT_EQ(none.Response.Status, 200);

  FResult = NewPacket();
  FResult->PutProperty("Result", false);
  TAnswer refused = Ask("ctrl-data:////api/m");
  EXPECT_EQ(refused.Response.Status, 400);
  EXPECT_FALSE(refused.Failed);
  EXPECT_EQ(refused.Body, R"({"Result":false})");

  FResult = TMimePacket::WrapData("text/plain", "a.txt", Variant("file body"), 0);
  TAnswer file = Ask("ctrl-data:////api/m");
  EXPECT_EQ(file.Body, "file body");
  EXPECT_EQ(file.Response.MimeType, "text/plain");
  EXPECT_EQ(file.Header("Content-Disposition"), "attachment; filename=\"a.txt\"");
  EXPECT_EQ(file.Header("Content-Type"), "text/plain");
  EXPECT_EQ(file.Header("Server"), "DuzAviRor");

  FResult = TMimePacket::WrapData("text/plain", "q\"\r\nSet-Cookie: x.txt", Variant("b"), 0);
  EXPECT_EQ(Ask("ctrl-data:////api/m").Header("Content-Disposition"),
            "attachment; filename=\"q\\\"Set-Cookie: x.txt\"");

  FResult = TMimePacket::Create("text/plain", 0)->AsPacket();  // no data: the rule fails
  TAnswer broken = Ask("ctrl-data:////api/m");
  EXPECT_FALSE(broken.Failed);
  EXPECT_FALSE(broken.HasBody);
  EXPECT_EQ(broken.Header("Server"), "DuzAviRor");
}

TEST_F(ResourceRouterApi, PostedJsonArrivesAsDataAndBadJsonIsNotFound) {
  FResult = nullptr;
  Ask("ctrl-data:////api/save", "POST", std::string("\xEF\xBB\xBF  {\"k\": [1, 2]}\n"));
  EXPECT_EQ(FData, R"({"k":[1,2]})");
  FMethod.clear();
  TAnswer bad = Ask("ctrl-data:////api/save", "POST", std::string("{broken"));
  EXPECT_EQ(FMethod, "") << "the callback ran on a body that is no JSON";
  EXPECT_TRUE(bad.Failed);
  EXPECT_EQ(bad.Response.Status, 404);

  FRouter->SetOnSyncAPIRequest(nullptr);
  TAnswer unhandled = Ask("ctrl-data:////api/save");
  EXPECT_FALSE(unhandled.Failed);
  EXPECT_FALSE(unhandled.HasBody);
  EXPECT_EQ(unhandled.Response.Status, 0);
}

TEST_F(ResourceRouterApi, RaisingCallbackLeavesNoAnswer) {
  FRouter->SetOnSyncAPIRequest([](const std::string&, const IPacketPtr&, const IPacketPtr&) -> IPacketPtr {
    throw std::runtime_error("host failure");
  });
  TAnswer a = Ask("https://local/api/m");
  EXPECT_FALSE(a.Failed);
  EXPECT_FALSE(a.HasBody);
  EXPECT_EQ(a.Header("Server"), "DuzAviRor");
}

TEST_F(ResourceRouter, MainThreadRequestsAndTheApplicationOrigin) {
  EXPECT_TRUE(FRouter->IsMainThreadRequest({"img:1"}));
  EXPECT_TRUE(FRouter->IsMainThreadRequest({"ctrl-data:////api/x"}));
  EXPECT_FALSE(FRouter->IsMainThreadRequest({"x img:1"}));
  EXPECT_FALSE(FRouter->IsMainThreadRequest({"https://local/api/x"}));
  EXPECT_FALSE(FRouter->IsMainThreadRequest({"ctrl-data://x.html"}));
  FRouter->SetApiUrl("rest");
  EXPECT_TRUE(FRouter->IsMainThreadRequest({"ctrl-data:////rest/x"}));
  EXPECT_FALSE(FRouter->IsMainThreadRequest({"ctrl-data:////api/x"}));
  EXPECT_EQ(FRouter->MapAppUrl("https://local/rest/u?id=1"), "ctrl-data:////rest/u?id=1");
  EXPECT_EQ(FRouter->MapAppUrl("https://local/index.html#x"), "ctrl-data://index.html#x");
  EXPECT_EQ(FRouter->MapAppUrl("https://other/index.html"), std::nullopt);
  FRouter->SetApp("app");
  EXPECT_EQ(FRouter->MapAppUrl("https://app/a.css"), "ctrl-data://a.css");
  EXPECT_EQ(Ask("https://app/x.html").Body, "<p>x</p>");
}

class TRecordingCallback : public ICefCallback {
 public:
  void Continue() override { Result += "continue"; }
  void Cancel() override { Result += "cancel"; }
  std::string Result;
};

TEST_F(ResourceRouter, HandlersFillOnTheMainThreadOnlyWhileTheRequestIsHeld) {
  FRouter->SetPngImages(std::make_shared<TPngImageList>(TPngImageList{"PNGDATA"}));
  auto callback = std::make_shared<TRecordingCallback>();
  TRef<TCefBaseResourceHandler> handler = GetResourceHandler(FRouter, {"img:0"});
  ASSERT_TRUE(handler);
  EXPECT_TRUE(handler->ProcessRequest({"img:0"}, callback));
  EXPECT_EQ(callback->Result, "") << "filled before the main thread served its queue";
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(callback->Result, "continue");
  int32_t status = 0;
  int64_t length = -1;
  std::string mime;
  THeaderList headers;
  handler->GetResponseHeaders(status, mime, headers, length);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(mime, "image/png");
  EXPECT_EQ(length, 7);
  EXPECT_EQ(headers, (THeaderList{{"Server", "DuzAviRor"}, {"Content-Length", "7"}, {"Content-Type", ""}}));
  char buf[4];
  size_t got = 0;
  std::string body;
  while (handler->ReadResponse(buf, sizeof buf, got) && got) body.append(buf, got);
  EXPECT_EQ(body, "PNGDATA");

  // Dropped by the browser before the main thread got to it: cancelled, never filled.
  bool filled = false;
  FRouter->Update([&](TResourceRouter::TSettings& S) {
    S.OnGetPngImage = [&](const std::string&, std::string&) { return filled = true; };
  });
  auto dropped = std::make_shared<TRecordingCallback>();
  TRef<TCefBaseResourceHandler> gone = GetResourceHandler(FRouter, {"img:0"});
  gone->ProcessRequest({"img:0"}, dropped);
  gone = nullptr;
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(dropped->Result, "cancel");
  EXPECT_FALSE(filled);

  // The API without a callback routes nothing: cancelled rather than an empty answer.
  auto unrouted = std::make_shared<TRecordingCallback>();
  TRef<TCefBaseResourceHandler> api = GetResourceHandler(FRouter, {"ctrl-data:////api/x"});
  api->ProcessRequest({"ctrl-data:////api/x"}, unrouted);
  while (CheckSynchronize(0)) {
  }
  EXPECT_EQ(unrouted->Result, "cancel");

  // Other requests are answered at once, or not at all.
  TRef<TCefBaseResourceHandler> ready = GetResourceHandler(FRouter, {"ctrl-data://x.html"});
  ASSERT_TRUE(ready);
  EXPECT_TRUE(ready->HasBody());
  EXPECT_FALSE(GetResourceHandler(FRouter, {"ctrl-data://missing"}));
  EXPECT_FALSE(GetResourceHandler(FRouter, {"ctrl-data://../secret.txt"}));
}

}  // namespace
}  // namespace vexor
