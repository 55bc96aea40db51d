// Arbitrary URLs and query strings through the resource routing core and MapURLtoFilePath: no
// crash, every mapped path stays below its base, and no body ever holds the marker of the one
// file that lies outside the base directory (reachable only by leaving it: "..", an absolute
// path, or the symbolic link planted inside the base).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "packets/json/PacketConversions.h"
#include "browser/core/ResourceRouter.h"

using namespace vexor;

namespace {

constexpr std::string_view kMarker = "OUTSIDE-THE-BASE-DIRECTORY";

struct TWorld {
  std::string Root, Base;
  TResourceRouter Router;

  TWorld() {
    InitPacketConversions();
    Root = (std::filesystem::temp_directory_path() / ("tarnwick-fuzz-" + std::to_string(::getpid()))).string();
    Base = Root + "/base/";
    std::filesystem::create_directories(Base + "sub");
    std::ofstream(Base + "x.html") << "<p>inside</p>";
    std::ofstream(Base + "sub/y.txt") << "inside too";
    std::ofstream(Root + "/secret.txt") << kMarker;
    std::filesystem::create_symlink(Root + "/secret.txt", Base + "out");
    std::filesystem::create_symlink(Root, Base + "up");
    Router.SetBaseDir(Base);
    Router.SetHTML("<h1>start</h1>");
    Router.SetPngImages(std::make_shared<TPngImageList>(TPngImageList{"png0", "png1"}));
    Router.SetOnSyncAPIRequest([](const std::string&, const IPacketPtr& AParams, const IPacketPtr&) {
      IPacketPtr result = NewPacket();
      result->PutProperty("count", AParams->GetCount());
      return result;
    });
  }
  ~TWorld() { std::filesystem::remove_all(Root); }
};

// Independent of the router's own check: the lexically normalised path must keep the base as
// its prefix.
bool LeavesBase(const std::string& ABase, std::string_view ARest) {
  if (!ARest.empty() && ARest.front() == '/') return true;
  if (ARest.find('\0') != std::string_view::npos) return true;
  std::string normal = (std::filesystem::path(ABase) / std::string(ARest)).lexically_normal().string();
  return normal.compare(0, ABase.size() - 1, ABase, 0, ABase.size() - 1) != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  static TWorld world;
  if (ASize == 0) return 0;
  // The first byte picks the URL space, the rest is the URL's remainder.
  static constexpr const char* kPrefixes[] = {"ctrl-data://",   "ctrl-data:////api/", "img:",
                                              "https://local/", "https://local/api/", ""};
  std::string tail(reinterpret_cast<const char*>(AData) + 1, ASize - 1);
  std::string url = kPrefixes[AData[0] % std::size(kPrefixes)] + tail;

  std::string mapped = TResourceRouter::MapURLtoFilePath(tail, world.Base);
  if (!mapped.empty()) {
    std::string_view rest = std::string_view(mapped).substr(world.Base.size());
    if (mapped.compare(0, world.Base.size(), world.Base) != 0 || LeavesBase(world.Base, rest)) std::abort();
  }

  TDataStreamPtr stream;
  TResourceRouter::TResponseData response;
  bool failed = world.Router.ProcessResourceRequest({url, (AData[0] & 0x80) ? "POST" : "GET",
                                                     (AData[0] & 0x40) ? std::optional<std::string>(tail)
                                                                       : std::nullopt},
                                                    stream, response);
  if (failed && stream) std::abort();
  if (!response.HeaderMap || response.HeaderMap->GetProperty("Server", Variant()).AsString() != "DuzAviRor")
    std::abort();
  if (stream && stream->ReadAll().find(kMarker) != std::string::npos) std::abort();
  return 0;
}
