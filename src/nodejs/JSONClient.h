#pragma once
// TJSONClient: one blocking HTTP request at a time, the response body read as JSON into a packet.
// It never raises: every failure comes back as Status -1 with the error's text.
// Threads: a client has no lock; use it from one thread at a time (TDebuggerClient lives on the
// discovery timer's thread).
#include <cstdint>
#include <memory>
#include <string>

#include "packets/Packets.h"

namespace vexor {

class THttpClient;

struct TJSONClientResponse {
  int32_t Status = 0;      // the HTTP status code; -1 when the request or its body's decoding failed
  std::string StatusText;  // the status line's text, or the error's message on failure
  IPacketPtr Data;         // the body as a packet; none on failure or for a scalar body

  bool IsValidStatus() const { return Status == 200 || Status == 201; }
};

class TJSONClient {
 public:
  TJSONClient();
  virtual ~TJSONClient();
  TJSONClient(const TJSONClient&) = delete;
  TJSONClient& operator=(const TJSONClient&) = delete;

  // The request body of POST and PUT is ARequest's JSON text (AsString), UTF-8.
  virtual void HttpPost(const std::string& AUrl, const IPacketPtr& ARequest, TJSONClientResponse& AResponse);
  virtual void HttpPut(const std::string& AUrl, const IPacketPtr& ARequest, TJSONClientResponse& AResponse);
  virtual void HttpGet(const std::string& AUrl, TJSONClientResponse& AResponse);
  virtual void HttpDelete(const std::string& AUrl, TJSONClientResponse& AResponse);

 protected:
  // Method codes: 0 GET, 1 PUT, 2 POST, 3 DELETE.
  void SendHttpRequest(const std::string& AUrl, const std::string& ABody, TJSONClientResponse& AResponse, int AMethod);
  THttpClient& IdHTTP() { return *FIdHTTP; }

 private:
  // Constant after construction; reused for every request so the connection stays open.
  std::unique_ptr<THttpClient> FIdHTTP;
};

}  // namespace vexor
