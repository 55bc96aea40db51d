#pragma once
// The line protocol spoken with a supervised child over its standard input and output.
//
// Parent to child, one request per line: the id in upper-case hexadecimal, U+0001, the request
// packet's JSON text, U+000A. Child to parent, one message per line, told apart by the first
// character: U+0002 a reply (a JSON object with "id" and "response"), U+0007 a notification,
// U+0006 a keep-alive; any other line is plain output.
//
// Pure functions and a plain batch queue: no locks, no threads; each object is used by one
// thread at a time (the requester's worker).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace vexor {

inline constexpr char kLineRequest = '\x01';
inline constexpr char kLineReply = '\x02';
inline constexpr char kLineKeepAlive = '\x06';
inline constexpr char kLineNotify = '\x07';
inline constexpr char kLineFeed = '\n';

// What a line the child wrote means, by its first character.
enum TLineKind { lkEmpty, lkReply, lkNotify, lkKeepAlive, lkOutput };

TLineKind ClassifyLine(std::string_view ALine) noexcept;

// The request id as the child sees it: upper-case hexadecimal, no prefix, no leading zeros
// (negative ids, which the requester never issues, would show their 32-bit pattern).
std::string RequestIdToHex(int32_t AId);

// One framed request line: hex id, U+0001, AJson, U+000A.
std::string FormatRequestLine(int32_t AId, std::string_view AJson);

using TLineHandler = std::function<void(const std::string& ALine)>;

// Hands every line that AChunk completes to AHandler in order (ABuffer's unfinished line first,
// without its U+000A; empty lines too; a U+000D stays in its line) and keeps the unfinished rest
// in ABuffer for a later chunk.
// A handler that throws does not stop the others: the lines are taken from the buffer before
// the first one is handed out, every later line is still handed out exactly once, and afterwards
// the first failure is thrown again (with the number of further failing lines added to its
// text), so the caller's error handling reports it.
void SplitLines(std::string& ABuffer, std::string_view AChunk, const TLineHandler& AHandler);

// Framed request lines waiting to be written, taken out in batches.
class TInputBatchQueue {
 public:
  void Push(std::string ALine);
  bool Empty() const noexcept { return FLines.empty(); }
  size_t Count() const noexcept { return FLines.size(); }
  void Clear() noexcept;

  // Takes the oldest lines while the text taken so far is below AMaxUnits UTF-16 code units.
  // Lines are never split, so the last line taken may carry the batch past the limit.
  std::string TakeBatch(int32_t AMaxUnits);

 private:
  struct TLine {
    std::string Text;
    size_t Units;  // UTF-16 code units of Text
  };
  // Owned by the using thread.
  std::deque<TLine> FLines;
};

}  // namespace vexor
