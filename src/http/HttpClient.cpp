#include "http/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <mutex>

#include "platform/Exceptions.h"
#include "platform/StrFormat.h"
#include "platform/Ticks.h"
#include "http/HttpStatusLine.h"

namespace vexor {

namespace {

void EnsureCurlGlobalInit() {
  static std::once_flag Once;
  static CURLcode Result = CURLE_OK;
  std::call_once(Once, [] { Result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (Result != CURLE_OK)
    throw Exception(std::string("HTTP client initialization failed: ") + curl_easy_strerror(Result));
}

const char* MethodName(THttpMethod AMethod) {
  switch (AMethod) {
    case hmGet: return "GET";
    case hmPut: return "PUT";
    case hmPost: return "POST";
    case hmDelete: return "DELETE";
  }
  throw Exception("Unknown HTTP method code " + std::to_string(static_cast<int>(AMethod)));
}

// How long to wait in one poll when no read time-out is set; libcurl's own timers shorten it.
constexpr int IdlePollMs = 1000;

}  // namespace

struct THttpClient::TImpl {
  // Constant after construction
  CURL* Easy = nullptr;
  CURLM* Multi = nullptr;  // owns the connection cache that keeps connections open between requests

  // Settings, changed between requests by the owning thread
  uint32_t ReadTimeout = 0;
  uint32_t TotalTimeout = 0;
  uint64_t MaxBodySize = 0;
  bool HandleRedirects = false;
  std::atomic<bool> Cancelled{false};  // set by Cancel on any thread, read by the request's poll loop
  std::string ContentType;

  // State of the request in progress, touched by libcurl's callbacks on the calling thread
  char ErrorBuffer[CURL_ERROR_SIZE] = {};
  std::string Body;
  bool BodyTooLarge = false;
  uint64_t BytesReceived = 0;
  bool ExpectStatusLine = true;
  bool BodyStarted = false;
  THttpStatusLine Status;
  bool HasStatus = false;

  // Last response's status, kept for the caller
  int ResponseCode = 0;
  std::string ResponseText;

  static size_t OnWrite(char* AData, size_t ASize, size_t ACount, void* AUser) {
    auto* Self = static_cast<TImpl*>(AUser);
    size_t Bytes = ASize * ACount;
    if (Self->MaxBodySize > 0 && Self->Body.size() + Bytes > Self->MaxBodySize) {
      Self->BodyTooLarge = true;
      return 0;
    }
    try {
      Self->Body.append(AData, Bytes);
    } catch (...) {
      return 0;  // makes libcurl fail the transfer with a write error
    }
    Self->BytesReceived += Bytes;
    Self->BodyStarted = true;
    return Bytes;
  }

  // Called once per header line, also for interim (1xx) and redirect responses: the status line
  // of the last header block is the one that counts. Trailers after the body are ignored.
  static size_t OnHeader(char* AData, size_t ASize, size_t ACount, void* AUser) {
    auto* Self = static_cast<TImpl*>(AUser);
    size_t Bytes = ASize * ACount;
    Self->BytesReceived += Bytes;
    std::string_view Line(AData, Bytes);
    if (Line == "\r\n" || Line == "\n") {
      Self->ExpectStatusLine = true;
      return Bytes;
    }
    if (Self->ExpectStatusLine && !Self->BodyStarted) {
      Self->ExpectStatusLine = false;
      try {
        THttpStatusLine Parsed;
        if (ParseHttpStatusLine(Line, Parsed)) {
          Self->Status = std::move(Parsed);
          Self->HasStatus = true;
        }
      } catch (...) {
        return 0;
      }
    }
    return Bytes;
  }

  void SetOption(CURLoption AOption, long AValue) { Check(curl_easy_setopt(Easy, AOption, AValue)); }
  void SetOption(CURLoption AOption, const char* AValue) { Check(curl_easy_setopt(Easy, AOption, AValue)); }
  void SetOption(CURLoption AOption, void* AValue) { Check(curl_easy_setopt(Easy, AOption, AValue)); }

  static void Check(CURLcode ACode) {
    if (ACode != CURLE_OK) throw Exception(curl_easy_strerror(ACode));
  }

  void ConfigureOnce() {
    Check(curl_easy_setopt(Easy, CURLOPT_WRITEFUNCTION, &TImpl::OnWrite));
    SetOption(CURLOPT_WRITEDATA, static_cast<void*>(this));
    Check(curl_easy_setopt(Easy, CURLOPT_HEADERFUNCTION, &TImpl::OnHeader));
    SetOption(CURLOPT_HEADERDATA, static_cast<void*>(this));
    SetOption(CURLOPT_ERRORBUFFER, static_cast<void*>(ErrorBuffer));
    SetOption(CURLOPT_NOSIGNAL, 1L);
    SetOption(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    // Loopback traffic must never reach a proxy named in the environment.
    SetOption(CURLOPT_PROXY, "");
    SetOption(CURLOPT_NOPROXY, "*");
    // An HTTP client: no file://, ftp:// or other schemes, neither asked for nor redirected to.
    SetOption(CURLOPT_PROTOCOLS_STR, "http,https");
    SetOption(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    SetOption(CURLOPT_MAXREDIRS, 20L);
  }

  void ResetRequestState() {
    ErrorBuffer[0] = '\0';
    Body.clear();
    BodyTooLarge = false;
    BytesReceived = 0;
    ExpectStatusLine = true;
    BodyStarted = false;
    Status = {};
    HasStatus = false;
    ResponseCode = 0;
    ResponseText.clear();
  }

  void PrepareRequest(THttpMethod AMethod, const std::string& AUrl, std::string_view ABody, curl_slist*& AHeaders) {
    const char* Name = MethodName(AMethod);
    SetOption(CURLOPT_URL, AUrl.c_str());
    bool SendsBody = AMethod == hmPut || AMethod == hmPost || !ABody.empty();
    if (SendsBody) {
      Check(curl_easy_setopt(Easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(ABody.size())));
      SetOption(CURLOPT_POSTFIELDS, ABody.empty() ? "" : ABody.data());
      SetOption(CURLOPT_CUSTOMREQUEST, AMethod == hmPost ? nullptr : Name);
    } else {
      SetOption(CURLOPT_HTTPGET, 1L);
      SetOption(CURLOPT_CUSTOMREQUEST, AMethod == hmGet ? nullptr : Name);
    }
    SetOption(CURLOPT_FOLLOWLOCATION, HandleRedirects ? 1L : 0L);
    // Redirects keep the method the caller chose, as a client of a JSON API expects.
    SetOption(CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_301 | CURL_REDIR_POST_302));
    SetOption(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(ReadTimeout));

    // No "Expect: 100-continue" round trip before large bodies, and no form content type
    // libcurl would otherwise claim for every body.
    AHeaders = curl_slist_append(AHeaders, "Expect:");
    std::string Type = "Content-Type:";
    if (SendsBody && !ContentType.empty()) Type += " " + ContentType;
    if (AHeaders) AHeaders = curl_slist_append(AHeaders, Type.c_str());
    if (!AHeaders) throw Exception("Out of memory building HTTP request headers");
    SetOption(CURLOPT_HTTPHEADER, static_cast<void*>(AHeaders));
  }

  // Runs the transfer on the multi handle so that the read time-out measures silence on the
  // connection (libcurl's own time-out would limit the whole exchange instead).
  std::string Perform() {
    CURLMcode Added = curl_multi_add_handle(Multi, Easy);
    if (Added != CURLM_OK) return curl_multi_strerror(Added);

    std::string Error;
    const uint32_t Started = GetTickCount32();
    uint32_t LastActivity = Started;
    uint64_t LastBytes = 0;
    for (;;) {
      if (Cancelled.load()) {
        Error = "The request was cancelled";
        break;
      }
      int Running = 0;
      CURLMcode Code = curl_multi_perform(Multi, &Running);
      if (Code != CURLM_OK) {
        Error = curl_multi_strerror(Code);
        break;
      }
      if (Running == 0) break;

      curl_off_t Uploaded = 0;
      curl_easy_getinfo(Easy, CURLINFO_SIZE_UPLOAD_T, &Uploaded);
      uint64_t Bytes = BytesReceived + static_cast<uint64_t>(Uploaded);
      if (Bytes != LastBytes) {
        LastBytes = Bytes;
        LastActivity = GetTickCount32();
      }
      int WaitMs = IdlePollMs;
      if (ReadTimeout > 0) {
        uint32_t Idle = TicksSince(LastActivity);
        if (Idle >= ReadTimeout) {
          Error = Format("Operation timed out after %" PRIu32 " milliseconds with %" PRIu64 " bytes received", Idle,
                         BytesReceived);
          break;
        }
        WaitMs = static_cast<int>(std::min<uint32_t>(ReadTimeout - Idle, IdlePollMs));
      }
      if (TotalTimeout > 0) {
        const uint32_t Taken = TicksSince(Started);
        if (Taken >= TotalTimeout) {
          Error = Format("The request took longer than %" PRIu32 " milliseconds (%" PRIu64 " bytes received)",
                         TotalTimeout, BytesReceived);
          break;
        }
        WaitMs = std::min(WaitMs, static_cast<int>(TotalTimeout - Taken));
      }
      Code = curl_multi_poll(Multi, nullptr, 0, WaitMs, nullptr);
      if (Code != CURLM_OK) {
        Error = curl_multi_strerror(Code);
        break;
      }
    }

    if (Error.empty()) {
      int Left = 0;
      while (CURLMsg* Msg = curl_multi_info_read(Multi, &Left)) {
        if (Msg->msg == CURLMSG_DONE && Msg->easy_handle == Easy && Msg->data.result != CURLE_OK)
          Error = BodyTooLarge     ? Format("The response body is larger than %" PRIu64 " bytes", MaxBodySize)
                  : ErrorBuffer[0] ? ErrorBuffer
                                   : curl_easy_strerror(Msg->data.result);
      }
    }
    // Removing an unfinished transfer closes its connection, so a timed-out exchange can never
    // leak a late answer into the next request.
    curl_multi_remove_handle(Multi, Easy);
    return Error;
  }
};

THttpClient::THttpClient() : FImpl(std::make_unique<TImpl>()) {
  EnsureCurlGlobalInit();
  FImpl->Easy = curl_easy_init();
  FImpl->Multi = curl_multi_init();
  if (!FImpl->Easy || !FImpl->Multi) {
    if (FImpl->Easy) curl_easy_cleanup(FImpl->Easy);
    if (FImpl->Multi) curl_multi_cleanup(FImpl->Multi);
    throw Exception("HTTP client initialization failed: cannot create a connection handle");
  }
  try {
    FImpl->ConfigureOnce();
  } catch (...) {
    curl_easy_cleanup(FImpl->Easy);
    curl_multi_cleanup(FImpl->Multi);
    throw;
  }
}

THttpClient::~THttpClient() {
  curl_easy_cleanup(FImpl->Easy);
  curl_multi_cleanup(FImpl->Multi);
}

THttpResponse THttpClient::Request(THttpMethod AMethod, const std::string& AUrl, std::string_view ABody) {
  TImpl& I = *FImpl;
  I.ResetRequestState();
  curl_slist* Headers = nullptr;
  std::string Error;
  try {
    I.PrepareRequest(AMethod, AUrl, ABody, Headers);
    Error = I.Perform();
  } catch (...) {
    curl_easy_setopt(I.Easy, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(Headers);
    throw;
  }
  // The handle must not keep pointers into this call's header list and body.
  curl_easy_setopt(I.Easy, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(I.Easy, CURLOPT_POSTFIELDS, nullptr);
  curl_slist_free_all(Headers);

  long Code = 0;
  curl_easy_getinfo(I.Easy, CURLINFO_RESPONSE_CODE, &Code);
  I.ResponseCode = static_cast<int>(Code);
  // The reason phrase belongs to the status line libcurl took the code from; a mismatch means
  // the line was not readable, and no text beats a wrong one.
  if (I.HasStatus && I.Status.Code == I.ResponseCode) I.ResponseText = I.Status.Reason;

  if (!Error.empty()) throw Exception(Error);
  if (I.ResponseCode >= 400) {
    std::string Line = I.HasStatus && I.Status.Code == I.ResponseCode ? I.Status.Version : "HTTP/1.1";
    Line.append(" ").append(std::to_string(I.ResponseCode));
    if (!I.ResponseText.empty()) Line += " " + I.ResponseText;
    throw Exception(Line);
  }

  THttpResponse Response;
  Response.StatusCode = I.ResponseCode;
  Response.StatusText = I.ResponseText;
  Response.Body = std::move(I.Body);
  I.Body.clear();
  return Response;
}

uint32_t THttpClient::ReadTimeout() const { return FImpl->ReadTimeout; }
void THttpClient::SetReadTimeout(uint32_t AMilliseconds) { FImpl->ReadTimeout = AMilliseconds; }
uint32_t THttpClient::TotalTimeout() const { return FImpl->TotalTimeout; }
void THttpClient::SetTotalTimeout(uint32_t AMilliseconds) { FImpl->TotalTimeout = AMilliseconds; }
uint64_t THttpClient::MaxBodySize() const { return FImpl->MaxBodySize; }
void THttpClient::SetMaxBodySize(uint64_t ABytes) { FImpl->MaxBodySize = ABytes; }

void THttpClient::Cancel() {
  FImpl->Cancelled.store(true);
  curl_multi_wakeup(FImpl->Multi);  // thread-safe by libcurl's contract
}

bool THttpClient::HandleRedirects() const { return FImpl->HandleRedirects; }
void THttpClient::SetHandleRedirects(bool AValue) { FImpl->HandleRedirects = AValue; }
const std::string& THttpClient::ContentType() const { return FImpl->ContentType; }
void THttpClient::SetContentType(const std::string& AValue) { FImpl->ContentType = AValue; }
int THttpClient::ResponseCode() const { return FImpl->ResponseCode; }
const std::string& THttpClient::ResponseText() const { return FImpl->ResponseText; }

}  // namespace vexor
