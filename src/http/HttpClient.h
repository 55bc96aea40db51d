#pragma once
// THttpClient: a blocking HTTP/1.1 client. Each client keeps one connection handle for its whole
// life, so consecutive requests to the same server reuse the open connection.
//
// Threads: one request at a time per client, and a client is used by one thread at a time (it has
// no lock). Different clients may run on different threads at once. No signals are used, so any
// worker thread may call it. Cancel alone may be called from any thread at any time.
//
// Failures raise vexor::Exception: transport errors (connection refused, time-out, bad URL) carry
// libcurl's message; a response with a status of 400 or more carries its status line, for example
// "HTTP/1.1 404 Not Found". Proxies from the environment are never used, and redirects are followed
// only when HandleRedirects is set.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vexor {

// The codes callers pass around for the four methods.
enum THttpMethod : int { hmGet = 0, hmPut = 1, hmPost = 2, hmDelete = 3 };

struct THttpResponse {
  int StatusCode = 0;
  std::string StatusText;  // the reason phrase of the status line ("OK", "Not Found")
  std::string Body;        // the whole response body, bytes as received
};

class THttpClient {
 public:
  THttpClient();
  ~THttpClient();
  THttpClient(const THttpClient&) = delete;
  THttpClient& operator=(const THttpClient&) = delete;

  // Sends ABody exactly (with a Content-Length, also when empty for PUT and POST; GET and DELETE
  // send a body only when one is given) and returns the response once it has fully arrived.
  THttpResponse Request(THttpMethod AMethod, const std::string& AUrl, std::string_view ABody = {});
  THttpResponse Get(const std::string& AUrl) { return Request(hmGet, AUrl); }
  THttpResponse Put(const std::string& AUrl, std::string_view ABody) { return Request(hmPut, AUrl, ABody); }
  THttpResponse Post(const std::string& AUrl, std::string_view ABody) { return Request(hmPost, AUrl, ABody); }
  THttpResponse Delete(const std::string& AUrl, std::string_view ABody = {}) { return Request(hmDelete, AUrl, ABody); }

  // Milliseconds without any data moving before a request fails; it also bounds the connect.
  // 0 (the default) waits as long as the connection stays open.
  uint32_t ReadTimeout() const;
  void SetReadTimeout(uint32_t AMilliseconds);

  // Milliseconds a whole request may take, connect to last body byte; 0 (the default): no limit.
  // A server that trickles its answer is stopped by this, not by the read time-out.
  uint32_t TotalTimeout() const;
  void SetTotalTimeout(uint32_t AMilliseconds);

  // Largest response body accepted, in bytes; a longer one fails the request. 0 (the default):
  // no limit.
  uint64_t MaxBodySize() const;
  void SetMaxBodySize(uint64_t ABytes);

  // Any thread: fails the request in progress within one poll (at once, it wakes the poll) and
  // every later request. For an owner that tears the client down while another thread uses it.
  void Cancel();

  bool HandleRedirects() const;  // false by default
  void SetHandleRedirects(bool AValue);

  // Content-Type sent with a request body; empty (the default) sends none.
  const std::string& ContentType() const;
  void SetContentType(const std::string& AValue);

  // Status of the last response received, kept also when its status raised an error;
  // 0 and empty when the last request got no status line.
  int ResponseCode() const;
  const std::string& ResponseText() const;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

}  // namespace vexor
