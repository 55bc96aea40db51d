#pragma once
// The browser's own URL spaces, answered by the host instead of the network:
//   "ctrl-data://"                    the start page (the HTML the host holds)
//   "ctrl-data://<path>"              files below the base directory
//   "img:<key>"                       images by key (PNG)
//   "ctrl-data:////<api>/<method>?…"  the API: a host callback's packet as JSON or MIME payload
//   "https://<App>/…"                 the application origin: its API and its files
// ProcessResourceRequest computes the complete answer (status, headers, content type, body
// stream) for one request; the platform's adapter sends what the platform can.
//
// Threads: ProcessResourceRequest may run on any thread, several at once. Image and API requests
// of the "ctrl-data:////" space are meant to be filled on the main thread (IsMainThreadRequest),
// so the image and API callbacks run there; start page, files and the application origin's API
// run on the thread that asks, and their callbacks (OnUrlToFilePath, OnGetFileData,
// OnSyncAPIRequest for the origin's API) must be safe there. The settings (HTML, URLs, base
// directory, callbacks, image sources) may be changed on any thread at any time: each request
// works on the immutable snapshot current when it started.
//
// Files come only from inside the base directory: a URL whose path leads out of it ("..", an
// absolute path, a symbolic link pointing outside) is answered 404.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "browser/core/DataStream.h"
#include "packets/Packets.h"

namespace vexor {

// One request as the browser hands it over.
struct TResourceRequest {
  TResourceRequest(std::string AUrl = {}, std::string AMethod = "GET", std::optional<std::string> APostData = {})
      : Url(std::move(AUrl)), Method(std::move(AMethod)), PostData(std::move(APostData)) {}
  std::string Url;
  std::string Method = "GET";
  // The bytes of the first post-data element when it is of the bytes kind; none otherwise.
  std::optional<std::string> PostData;
};

// What the API callback is given.
struct TApiRequest {
  std::string Method;
  std::string UrlPath;              // the path after the API prefix, without the query
  std::vector<std::string> Params;  // the query items, URL-decoded, empty ones dropped
  std::optional<std::string> PostData;

  // Splits AUrl at its first "?"; the query is split at "&" outside double quotes (the quotes
  // group and are removed).
  static TApiRequest Create(const std::string& AMethod, const std::string& AUrl);
};

// What the API callback's result becomes.
struct TApiResponse {
  std::optional<std::string> Response;
  std::string MimeType = "application/json";
  IPacketPtr Headers;
  int32_t Code = 200;

  static TApiResponse Create(int32_t ACode) {
    TApiResponse r;
    r.Code = ACode;
    return r;
  }
};

// A bitmap the host hands out for an image key, and a list of them; both encode as PNG.
class IBitmapImage {
 public:
  virtual ~IBitmapImage() = default;
  virtual bool SaveToPng(std::string& AOut) const = 0;
};
class IImageList {
 public:
  virtual ~IImageList() = default;
  virtual int32_t Count() const = 0;
  virtual bool SaveToPng(int32_t AIndex, std::string& AOut) const = 0;
};

class TResourceRouter;

using TOnSyncAPIRequest =
    std::function<IPacketPtr(const std::string& AMethod, const IPacketPtr& AParams, const IPacketPtr& AData)>;
using TOnUrlToFilePath = std::function<bool(TResourceRouter& Sender, const std::string& Url, std::string& Path)>;
using TOnGetFileData = std::function<bool(TResourceRouter& Sender, const std::string& FilePath, TDataStreamPtr& Stream,
                                          std::string& MimeType)>;
// Appends the PNG bytes for an image key to AStream.
using TOnGetPngImage = std::function<bool(const std::string& ImageUrl, std::string& AStream)>;
using TOnGetBitmap = std::function<std::shared_ptr<const IBitmapImage>(const std::string& ImageUrl)>;
using TPngImageList = std::vector<std::string>;

class TResourceRouter {
 public:
  // The answer being built.
  struct TResponseData {
    IPacketPtr HeaderMap;  // one property per header (name -> text)
    int32_t Status = 0;
    std::string MimeType;
  };

  // Everything a request reads; replaced as a whole, never changed in place.
  struct TSettings {
    std::string HTML;
    std::string App = "local";
    std::string ApiUrl = "api";
    std::string BaseDir;  // with a trailing '/', or empty
    TOnSyncAPIRequest OnSyncAPIRequest;
    TOnUrlToFilePath OnUrlToFilePath;
    TOnGetFileData OnGetFileData;
    TOnGetPngImage OnGetPngImage;
    TOnGetBitmap OnGetBitmap;
    std::shared_ptr<const TPngImageList> PngImages;
    std::shared_ptr<const IImageList> Images;

    std::string FullApiUrl() const { return "ctrl-data:////" + ApiUrl; }
    std::string AppUrl() const { return "https://" + App + "/"; }
  };

  static constexpr const char* kServerName = "DuzAviRor";

  TResourceRouter() : FSettings(std::make_shared<const TSettings>()) {}
  virtual ~TResourceRouter() = default;
  TResourceRouter(const TResourceRouter&) = delete;
  TResourceRouter& operator=(const TResourceRouter&) = delete;

  // The current snapshot, and a change applied to a copy of it (any thread).
  std::shared_ptr<const TSettings> Settings() const;
  void Update(const std::function<void(TSettings&)>& AChange);
  void SetHTML(std::string AHTML);
  void SetApp(std::string AApp);
  void SetApiUrl(std::string AApiUrl);
  void SetBaseDir(std::string ABaseDir);
  void SetOnSyncAPIRequest(TOnSyncAPIRequest ACallback);
  void SetPngImages(std::shared_ptr<const TPngImageList> AImages);

  // True for "img:" and "ctrl-data:////<api>" URLs (case-sensitive prefixes).
  bool IsMainThreadRequest(const TResourceRequest& ARequest) const;
  // The "ctrl-data" form of an application-origin URL, for platforms that reach the handler
  // only through that scheme ("https://<App>/<api>/…" -> "ctrl-data:////<api>/…", other
  // "https://<App>/<path>" -> "ctrl-data://<path>"); none for other URLs.
  std::optional<std::string> MapAppUrl(const std::string& AUrl) const;

  // Routes and fills one answer; true when the request failed (not found). ADataStream is null
  // when there is no body.
  bool ProcessResourceRequest(const TResourceRequest& ARequest, TDataStreamPtr& ADataStream, TResponseData& AResponse);

  // URL-decodes AUrl ("%hh", a non-hex digit making the code 0; "+" is a blank), cuts it at "#" and
  // "?" and appends it to ABaseDir. A path that would lead out of ABaseDir (absolute, a ".."
  // segment, a NUL byte) gives "".
  static std::string MapURLtoFilePath(const std::string& AUrl, const std::string& ABaseDir);
  // "%hh" and "+" decoding as above, nothing else.
  static std::string UrlDecode(std::string_view AText);

 protected:
  // Overridable steps; each works on the request's snapshot.
  virtual bool GetImage(const TSettings& ASettings, const std::string& ImageUrl, std::string& AStream);
  virtual bool UrlToFilePath(const TSettings& ASettings, const std::string& Url, std::string& Path);
  virtual bool GetFileData(const TSettings& ASettings, const std::string& FilePath, TDataStreamPtr& ADataStream,
                           std::string& MimeType);
  virtual bool DoApiRequest(const TSettings& ASettings, const TApiRequest& Request, TApiResponse& Response);

 private:
  void FileRequest(const TSettings& ASettings, const std::string& APathText, TDataStreamPtr& ADataStream,
                   TResponseData& AResponse, std::string& AContentType, bool& AFailed);
  // Produces nothing without an API callback (the request then falls through).
  void ApiRequest(const TSettings& ASettings, const TResourceRequest& ARequest, size_t AEnd,
                  TDataStreamPtr& ADataStream, TResponseData& AResponse, std::string& AContentType, bool& AFailed);
  // The base directory a request maps files under, fixed on first use when none was set.
  std::string EffectiveBaseDir(const TSettings& ASettings);

  mutable std::mutex FLock;
  std::shared_ptr<const TSettings> FSettings;  // guarded by FLock
};

}  // namespace vexor
