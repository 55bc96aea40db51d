#pragma once
// Helpers for the requester tests: deadline waits that keep the main thread serving its queue,
// requests that record their answers, and captures of the exception handler and the log.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/MainThread.h"
#include "common/ExceptionCapture.h"
#include "common/Wait.h"
#include "platform/Ticks.h"
#include "requests/CustomAsyncRequester.h"
#include "diagnostics/MessageLog.h"

namespace vexor::test {

// Answers collected by name. An answer is the reply's JSON text, "<none>" for a null reply.
class TAnswers {
 public:
  TRef<TCustomAsyncRequester::IRequest> Make(const std::string& AName, IPacketPtr APacket) {
    auto r = MakeRef<TPacketAsyncRequest>(std::move(APacket), [this, AName](const IPacketPtr& AReply) {
      std::lock_guard<std::mutex> lock(FLock);
      auto& slot = FAnswers[AName];
      slot.push_back(AReply ? AReply->AsString() : "<none>");
      FArrival.push_back(AName);
      FReplies[AName] = AReply;
    });
    return TRef<TCustomAsyncRequester::IRequest>(r.get());
  }
  // The one answer of AName, or nothing yet. More than one answer fails the test.
  std::optional<std::string> Get(const std::string& AName) const {
    std::lock_guard<std::mutex> lock(FLock);
    auto it = FAnswers.find(AName);
    if (it == FAnswers.end()) return std::nullopt;
    EXPECT_EQ(it->second.size(), 1u) << AName << " answered more than once";
    return it->second.front();
  }
  IPacketPtr Reply(const std::string& AName) const {
    std::lock_guard<std::mutex> lock(FLock);
    auto it = FReplies.find(AName);
    return it == FReplies.end() ? nullptr : it->second;
  }
  std::optional<std::string> Await(const std::string& AName, uint32_t ADeadlineMs = 10000) const {
    vexor::testing::WaitFor([&] { return Get(AName).has_value(); }, ADeadlineMs);
    return Get(AName);
  }
  size_t Count() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FArrival.size();
  }

 private:
  mutable std::mutex FLock;
  std::map<std::string, std::vector<std::string>> FAnswers;
  std::map<std::string, IPacketPtr> FReplies;
  std::vector<std::string> FArrival;
};

using vexor::testing::TExceptionCapture;

// Messages of the process-wide log with ASource, as "level:text".
inline std::vector<std::string> LogLines(const std::string& ASource) {
  std::vector<std::string> lines;
  if (!MessagesList()) return lines;
  for (const auto& item : MessagesList()->Items())
    if (item.Source() == ASource) lines.push_back(std::to_string(item.Severity()) + ":" + item.Msg());
  return lines;
}

}  // namespace vexor::test
