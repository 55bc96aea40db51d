#include "browser/core/ResourceRouter.h"

#include <unistd.h>

#include <sstream>

#include "platform/AppPaths.h"
#include "browser/core/MimePacket.h"
#include "packets/json/PacketConversions.h"

namespace vexor {
namespace {

constexpr std::string_view kCtrlData = "ctrl-data://";
constexpr std::string_view kImg = "img:";

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

// True when a relative path stays below the folder it is appended to.
bool StaysBelow(std::string_view APath) {
  if (APath.empty()) return true;
  if (APath.front() == '/' || APath.find('\0') != std::string_view::npos) return false;
  size_t start = 0;
  while (start <= APath.size()) {
    size_t end = APath.find('/', start);
    if (end == std::string_view::npos) end = APath.size();
    if (APath.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

// A header value in double quotes: quotes and backslashes escaped, line breaks and other control
// characters dropped, so a file name can never start a header of its own.
std::string QuotedHeaderValue(std::string_view AText) {
  std::string out = "\"";
  for (char c : AText) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) continue;
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string CurrentDirectory() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) ? IncludeTrailingPathDelimiter(buf) : std::string();
}

}  // namespace

// ---- API request and response ----

TApiRequest TApiRequest::Create(const std::string& AMethod, const std::string& AUrl) {
  TApiRequest r;
  r.Method = AMethod;
  size_t q = AUrl.find('?');
  r.UrlPath = AUrl.substr(0, q);
  if (q == std::string::npos) return r;
  std::string item;
  bool quoted = false;
  auto flush = [&] {
    if (!item.empty()) {
      std::string decoded = TResourceRouter::UrlDecode(item);
      if (!decoded.empty()) r.Params.push_back(std::move(decoded));
    }
    item.clear();
  };
  for (size_t i = q + 1; i < AUrl.size(); ++i) {
    char c = AUrl[i];
    if (c == '"')
      quoted = !quoted;
    else if (c == '&' && !quoted)
      flush();
    else
      item += c;
  }
  flush();
  return r;
}

// ---- settings ----

std::shared_ptr<const TResourceRouter::TSettings> TResourceRouter::Settings() const {
  std::lock_guard<std::mutex> lock(FLock);
  return FSettings;
}

void TResourceRouter::Update(const std::function<void(TSettings&)>& AChange) {
  std::lock_guard<std::mutex> lock(FLock);
  auto next = std::make_shared<TSettings>(*FSettings);
  AChange(*next);
  FSettings = std::move(next);
}

void TResourceRouter::SetHTML(std::string AHTML) {
  Update([&](TSettings& S) { S.HTML = std::move(AHTML); });
}
void TResourceRouter::SetApp(std::string AApp) {
  Update([&](TSettings& S) { S.App = std::move(AApp); });
}
void TResourceRouter::SetApiUrl(std::string AApiUrl) {
  Update([&](TSettings& S) { S.ApiUrl = std::move(AApiUrl); });
}
void TResourceRouter::SetBaseDir(std::string ABaseDir) {
  Update([&](TSettings& S) { S.BaseDir = std::move(ABaseDir); });
}
void TResourceRouter::SetOnSyncAPIRequest(TOnSyncAPIRequest ACallback) {
  Update([&](TSettings& S) { S.OnSyncAPIRequest = std::move(ACallback); });
}
void TResourceRouter::SetPngImages(std::shared_ptr<const TPngImageList> AImages) {
  Update([&](TSettings& S) { S.PngImages = std::move(AImages); });
}

std::string TResourceRouter::EffectiveBaseDir(const TSettings& ASettings) {
  if (!ASettings.BaseDir.empty()) return ASettings.BaseDir;
  std::lock_guard<std::mutex> lock(FLock);
  if (!FSettings->BaseDir.empty()) return FSettings->BaseDir;
  // Relative to the current directory while that is the program's own; otherwise the program's
  // folder, kept from then on.
  std::string exeDir = ProgramFolder();
  if (CurrentDirectory() == exeDir) return {};
  auto next = std::make_shared<TSettings>(*FSettings);
  next->BaseDir = exeDir;
  FSettings = std::move(next);
  return exeDir;
}

// ---- routing ----

bool TResourceRouter::IsMainThreadRequest(const TResourceRequest& ARequest) const {
  const std::string& url = ARequest.Url;
  return url.rfind(kImg, 0) == 0 || url.rfind(Settings()->FullApiUrl(), 0) == 0;
}

std::optional<std::string> TResourceRouter::MapAppUrl(const std::string& AUrl) const {
  auto s = Settings();
  const std::string appUrl = s->AppUrl();
  if (AUrl.rfind(appUrl, 0) != 0) return std::nullopt;
  std::string rest = AUrl.substr(appUrl.size());
  if (rest.rfind(s->ApiUrl, 0) == 0) return "ctrl-data:////" + rest;
  return std::string(kCtrlData) + rest;
}

bool TResourceRouter::ProcessResourceRequest(const TResourceRequest& ARequest, TDataStreamPtr& ADataStream,
                                             TResponseData& AResponse) {
  std::shared_ptr<const TSettings> s = Settings();
  const std::string& url = ARequest.Url;
  bool failed = false;
  std::string contentType;
  ADataStream.reset();
  try {
    const std::string fullApiUrl = s->FullApiUrl();
    const std::string appUrl = s->AppUrl();
    size_t pos;
    if ((pos = url.find(fullApiUrl)) != std::string::npos) {
      ApiRequest(*s, ARequest, pos + fullApiUrl.size(), ADataStream, AResponse, contentType, failed);
    } else if (url.find(kCtrlData) != std::string::npos) {
      if (url == kCtrlData) {
        ADataStream = std::make_unique<TMemoryDataStream>(s->HTML);
        AResponse.Status = 200;
        AResponse.MimeType = "text/html";
      } else {
        FileRequest(*s, url.substr(kCtrlData.size()), ADataStream, AResponse, contentType, failed);
      }
    } else if (url.rfind(kImg, 0) == 0) {
      std::string png;
      if (GetImage(*s, url.substr(kImg.size()), png)) {
        ADataStream = std::make_unique<TMemoryDataStream>(std::move(png));
        AResponse.Status = 200;
        AResponse.MimeType = "image/png";
      } else {
        AResponse.Status = 404;
        failed = true;
      }
    } else if ((pos = url.find(appUrl + s->ApiUrl)) != std::string::npos) {
      ApiRequest(*s, ARequest, pos + appUrl.size() + s->ApiUrl.size(), ADataStream, AResponse, contentType, failed);
    } else if (url.find(appUrl) != std::string::npos) {
      FileRequest(*s, url.size() > appUrl.size() ? url.substr(appUrl.size()) : std::string(), ADataStream, AResponse,
                  contentType, failed);
    }
  } catch (const std::exception&) {
    // A failing rule leaves no answer; the request is not reported as not found.
    ADataStream.reset();
    failed = false;
  }
  if (!AResponse.HeaderMap) AResponse.HeaderMap = NewPacket();
  AResponse.HeaderMap->PutProperty("Server", kServerName);
  if (ADataStream) {
    AResponse.HeaderMap->PutProperty("Content-Length", std::to_string(ADataStream->Size()));
    AResponse.HeaderMap->PutProperty("Content-Type", contentType);
  }
  return failed;
}

void TResourceRouter::FileRequest(const TSettings& ASettings, const std::string& APathText, TDataStreamPtr& ADataStream,
                                  TResponseData& AResponse, std::string& AContentType, bool& AFailed) {
  std::string path;
  UrlToFilePath(ASettings, APathText, path);
  AContentType.clear();
  if (GetFileData(ASettings, path, ADataStream, AContentType)) {
    AResponse.MimeType = AContentType;
    AResponse.Status = 200;
  } else {
    AResponse.Status = 404;
    AFailed = true;
  }
}

void TResourceRouter::ApiRequest(const TSettings& ASettings, const TResourceRequest& ARequest, size_t AEnd,
                                 TDataStreamPtr& ADataStream, TResponseData& AResponse, std::string& AContentType,
                                 bool& AFailed) {
  if (!ASettings.OnSyncAPIRequest) return;
  const std::string& url = ARequest.Url;
  std::string path = AEnd + 1 <= url.size() ? url.substr(AEnd + 1) : std::string();
  TApiRequest request = TApiRequest::Create(ARequest.Method, path);
  request.PostData = ARequest.PostData;
  TApiResponse response = TApiResponse::Create(200);
  if (!DoApiRequest(ASettings, request, response)) {
    AResponse.Status = 404;
    AFailed = true;
    return;
  }
  AResponse.Status = response.Code;
  AResponse.MimeType = response.MimeType;
  AResponse.HeaderMap = response.Headers;
  if (response.Response) {
    ADataStream = std::make_unique<TMemoryDataStream>(std::move(*response.Response));
    AContentType = response.MimeType;
  }
}

// ---- the overridable steps ----

bool TResourceRouter::UrlToFilePath(const TSettings& ASettings, const std::string& Url, std::string& Path) {
  std::string s = Url.substr(0, Url.find('?'));
  if (ASettings.OnUrlToFilePath && ASettings.OnUrlToFilePath(*this, s, Path)) return true;
  Path = MapURLtoFilePath(s, EffectiveBaseDir(ASettings));
  return true;
}

bool TResourceRouter::GetFileData(const TSettings& ASettings, const std::string& FilePath, TDataStreamPtr& ADataStream,
                                  std::string& MimeType) {
  ADataStream.reset();
  MimeType.clear();
  if (ASettings.OnGetFileData) {
    TDataStreamPtr stream;
    bool ok = ASettings.OnGetFileData(*this, FilePath, stream, MimeType);
    if (stream) {
      ADataStream = std::move(stream);
      return ok;
    }
    if (ok) return true;
  }
  // Paths below the base directory are opened beneath it, so nothing outside is ever opened;
  // a path a host callback chose elsewhere is its own decision.
  std::string base = EffectiveBaseDir(ASettings);
  std::unique_ptr<TFileDataStream> file = FilePath.compare(0, base.size(), base) == 0
                                              ? TFileDataStream::OpenBeneath(base, FilePath.substr(base.size()))
                                              : TFileDataStream::Open(FilePath);
  if (!file) return false;
  MimeType = TMimePacket::GetMimeTypeFromFileName(FilePath);
  ADataStream = std::move(file);
  return true;
}

bool TResourceRouter::GetImage(const TSettings& ASettings, const std::string& ImageUrl, std::string& AStream) {
  if (ASettings.OnGetPngImage) return ASettings.OnGetPngImage(ImageUrl, AStream);
  if (ASettings.OnGetBitmap) {
    std::shared_ptr<const IBitmapImage> bitmap = ASettings.OnGetBitmap(ImageUrl);
    return bitmap && bitmap->SaveToPng(AStream);
  }
  int64_t index = -1;
  if (!TryParseInt64(ImageUrl, index)) index = -1;
  if (ASettings.PngImages) {
    if (index < 0 || index >= static_cast<int64_t>(ASettings.PngImages->size())) return false;
    AStream += (*ASettings.PngImages)[static_cast<size_t>(index)];
    return true;
  }
  if (ASettings.Images) {
    if (index < 0 || index >= ASettings.Images->Count()) return false;
    return ASettings.Images->SaveToPng(static_cast<int32_t>(index), AStream);
  }
  return false;
}

bool TResourceRouter::DoApiRequest(const TSettings& ASettings, const TApiRequest& Request, TApiResponse& Response) {
  if (!ASettings.OnSyncAPIRequest) return false;
  IPacketPtr params = NewPacket();
  if (Request.Params.size() == 1 && Request.Params[0].find('=') == std::string::npos) {
    params->Put(Variant(Request.Params[0]));
  } else {
    for (size_t i = 0; i < Request.Params.size(); ++i) {
      const std::string& item = Request.Params[i];
      size_t eq = item.find('=');
      // An item with an empty name is kept whole like an unnamed one: an empty property name
      // would address the packet itself.
      if (eq == std::string::npos || eq == 0) {
        std::string name = "$";
        name += std::to_string(i + 1);
        params->PutProperty(name, item);
      } else {
        params->PutProperty(item.substr(0, eq), item.substr(eq + 1));
      }
    }
  }
  IPacketPtr data;
  if (Request.PostData) {
    std::string_view text = *Request.PostData;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
    try {
      data = TPacketConversions::PacketFromJSON(text);
    } catch (const std::exception&) {
      return false;
    }
  }
  if (!data) data = NewPacket();
  IPacketPtr result = ASettings.OnSyncAPIRequest(Request.UrlPath, params, data);
  std::string text;
  if (TMimePacket::IsMimePacket(result)) {
    IMIMEPacketPtr mime = TMimePacket::AsMimePacket(result);
    std::ostringstream out;
    mime->SaveToStream(out);
    Response.Response = std::move(out).str();
    Response.MimeType = mime->GetMimeType();
    std::string fileName = mime->GetFileName();
    if (!fileName.empty()) {
      Response.Headers = NewPacket();
      Response.Headers->PutProperty("Content-Disposition", "attachment; filename=" + QuotedHeaderValue(fileName));
    }
    return true;
  }
  if (result) {
    Variant ok = result->GetProperty("Result", Variant(true));
    try {
      if (!ok.AsBoolean()) Response.Code = 400;
    } catch (const std::exception&) {
      // A "Result" that is no truth value does not mark a failure.
    }
    text = TPacketConversions::PacketAsJSON(result, false, false);
  } else {
    text = "[]";
  }
  Response.Response = std::move(text);
  Response.MimeType = "application/json";
  return true;
}

// ---- URL to file path ----

std::string TResourceRouter::UrlDecode(std::string_view AText) {
  std::string out;
  out.reserve(AText.size());
  for (size_t i = 0; i < AText.size(); ++i) {
    char c = AText[i];
    if (c == '%' && i + 2 < AText.size()) {
      int hi = HexValue(AText[i + 1]), lo = HexValue(AText[i + 2]);
      out += static_cast<char>(hi < 0 || lo < 0 ? 0 : hi * 16 + lo);
      i += 2;
    } else if (c == '+') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string TResourceRouter::MapURLtoFilePath(const std::string& AUrl, const std::string& ABaseDir) {
  std::string path = UrlDecode(AUrl);
  path = path.substr(0, path.find('#'));
  path = path.substr(0, path.find('?'));
  if (!StaysBelow(path)) return {};
  return ABaseDir + path;
}

}  // namespace vexor
