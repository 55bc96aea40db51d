#include "nodejs/JSONClient.h"

#include "platform/Exceptions.h"
#include "http/HttpClient.h"
#include "packets/json/PacketConversions.h"

namespace vexor {

TJSONClient::TJSONClient() : FIdHTTP(std::make_unique<THttpClient>()) {}
TJSONClient::~TJSONClient() = default;

void TJSONClient::HttpPost(const std::string& AUrl, const IPacketPtr& ARequest, TJSONClientResponse& AResponse) {
  SendHttpRequest(AUrl, ARequest ? ARequest->AsString() : std::string(), AResponse, hmPost);
}

void TJSONClient::HttpPut(const std::string& AUrl, const IPacketPtr& ARequest, TJSONClientResponse& AResponse) {
  SendHttpRequest(AUrl, ARequest ? ARequest->AsString() : std::string(), AResponse, hmPut);
}

void TJSONClient::HttpGet(const std::string& AUrl, TJSONClientResponse& AResponse) {
  SendHttpRequest(AUrl, std::string(), AResponse, hmGet);
}

void TJSONClient::HttpDelete(const std::string& AUrl, TJSONClientResponse& AResponse) {
  SendHttpRequest(AUrl, std::string(), AResponse, hmDelete);
}

void TJSONClient::SendHttpRequest(const std::string& AUrl, const std::string& ABody, TJSONClientResponse& AResponse,
                                  int AMethod) {
  try {
    THttpResponse reply = FIdHTTP->Request(static_cast<THttpMethod>(AMethod), AUrl, ABody);
    AResponse.Status = reply.StatusCode;
    AResponse.StatusText = reply.StatusText;
    AResponse.Data = TPacketConversions::PacketFromJSON(reply.Body);
  } catch (const Exception& e) {
    AResponse.Status = -1;
    AResponse.StatusText = e.what();
  }
}

}  // namespace vexor
