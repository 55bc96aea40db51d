#pragma once
// TLineChunkFilter: passes a byte stream on chunk by chunk while leaving out whole lines that a
// predicate drops (the inspector's banner in a script's output). Bytes are passed on as soon as
// they arrive, partial lines included; only the start of a line that might still turn out to be
// dropped is held, and for at most the hold time (Flush hands it on then), so output is never
// held back for long. A line's end is its line feed; a carriage return before it is ignored by
// the predicates and passed on with the line.
//
// Threads: a plain object; one thread at a time.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace vexor {

class TLineChunkFilter {
 public:
  // ADrop: the whole line (without line feed and trailing carriage return) is left out.
  // AMayDrop: a line that starts with this text could still be left out.
  TLineChunkFilter(std::function<bool(std::string_view)> ADrop, std::function<bool(std::string_view)> AMayDrop,
                   uint32_t AHoldMs = 100);

  // The bytes of AChunk (and of a held line start) that can be passed on now.
  std::string Take(std::string_view AChunk);
  // A held line start once it has waited the hold time (at once with AAll); "" otherwise.
  std::string Flush(bool AAll);
  // A line start is held.
  bool Holding() const { return !FHeld.empty(); }
  // Where two writers share the stream (a terminal carries a program's output and error), a
  // dropped line may also come inside another's unfinished line (after a prompt): a chunk that
  // begins there with a whole dropped line loses that line, and the unfinished one goes on.
  void SetDropAtChunkStart(bool AValue) { FDropAtChunkStart = AValue; }

 private:
  const std::function<bool(std::string_view)> FDrop;
  const std::function<bool(std::string_view)> FMayDrop;
  const uint32_t FHoldMs;
  std::string FHeld;               // the start of a line that may yet be dropped
  uint32_t FHeldSince = 0;         // tick when FHeld began
  bool FInLine = false;            // the start of the current line was passed on already
  bool FDropAtChunkStart = false;  // see SetDropAtChunkStart
};

}  // namespace vexor
