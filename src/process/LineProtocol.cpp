#include "process/LineProtocol.h"

#include <cstdio>

#include "platform/Exceptions.h"
#include "platform/TextUtf.h"

namespace vexor {

TLineKind ClassifyLine(std::string_view ALine) noexcept {
  if (ALine.empty()) return lkEmpty;
  switch (ALine.front()) {
    case kLineReply: return lkReply;
    case kLineNotify: return lkNotify;
    case kLineKeepAlive: return lkKeepAlive;
    default: return lkOutput;
  }
}

std::string RequestIdToHex(int32_t AId) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "%X", static_cast<uint32_t>(AId));
  return std::string(buf, static_cast<size_t>(n));
}

std::string FormatRequestLine(int32_t AId, std::string_view AJson) {
  std::string line = RequestIdToHex(AId);
  line.reserve(line.size() + AJson.size() + 2);
  line += kLineRequest;
  line += AJson;
  line += kLineFeed;
  return line;
}

void SplitLines(std::string& ABuffer, std::string_view AChunk, const TLineHandler& AHandler) {
  const size_t lastFeed = AChunk.rfind(kLineFeed);
  if (lastFeed == std::string_view::npos) {
    ABuffer.append(AChunk);
    return;
  }
  // Taken out first: whatever a handler does, these lines are never handed out again, and the
  // unfinished rest already waits in the buffer.
  std::string text;
  text.swap(ABuffer);
  text.append(AChunk.substr(0, lastFeed + 1));
  ABuffer.assign(AChunk.substr(lastFeed + 1));

  std::exception_ptr first;
  std::string firstText;
  size_t failures = 0;
  std::string line;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find(kLineFeed, start);  // every line of text ends in a line feed
    line.assign(text, start, end - start);
    try {
      AHandler(line);
    } catch (const std::exception& e) {
      if (failures++ == 0) {
        first = std::current_exception();
        firstText = e.what();
      }
    } catch (...) {
      if (failures++ == 0) first = std::current_exception();
    }
    start = end + 1;
  }

  if (failures == 1) std::rethrow_exception(first);
  if (failures > 1) {
    if (firstText.empty()) std::rethrow_exception(first);
    throw Exception(firstText + " (and " + std::to_string(failures - 1) + " more failing lines in the same chunk)");
  }
}

void TInputBatchQueue::Push(std::string ALine) {
  size_t units = Utf16Length(ALine);
  FLines.push_back(TLine{std::move(ALine), units});
}

void TInputBatchQueue::Clear() noexcept { FLines.clear(); }

std::string TInputBatchQueue::TakeBatch(int32_t AMaxUnits) {
  std::string text;
  size_t units = 0;
  while (!FLines.empty() && static_cast<int64_t>(units) < AMaxUnits) {
    TLine& l = FLines.front();
    if (text.empty())
      text = std::move(l.Text);
    else
      text += l.Text;
    units += l.Units;
    FLines.pop_front();
  }
  return text;
}

}  // namespace vexor
