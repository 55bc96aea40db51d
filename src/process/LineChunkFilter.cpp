#include "process/LineChunkFilter.h"

#include "platform/Ticks.h"

namespace vexor {
namespace {

std::string_view WithoutCarriageReturn(std::string_view ALine) {
  while (!ALine.empty() && ALine.back() == '\r') ALine.remove_suffix(1);
  return ALine;
}

}  // namespace

TLineChunkFilter::TLineChunkFilter(std::function<bool(std::string_view)> ADrop,
                                   std::function<bool(std::string_view)> AMayDrop, uint32_t AHoldMs)
    : FDrop(std::move(ADrop)), FMayDrop(std::move(AMayDrop)), FHoldMs(AHoldMs) {}

std::string TLineChunkFilter::Take(std::string_view AChunk) {
  std::string out;
  const bool wasHolding = !FHeld.empty();
  std::string joined;
  std::string_view data = AChunk;
  if (wasHolding) {
    joined = std::move(FHeld);
    FHeld.clear();
    joined.append(AChunk);
    data = joined;
  }
  size_t pos = 0;
  if (FInLine && FDropAtChunkStart && !wasHolding) {
    const size_t feed = data.find('\n');
    if (feed != std::string_view::npos && FDrop && FDrop(WithoutCarriageReturn(data.substr(0, feed)))) pos = feed + 1;
  }
  while (pos < data.size()) {
    const size_t feed = data.find('\n', pos);
    if (FInLine) {
      const size_t end = feed == std::string_view::npos ? data.size() : feed + 1;
      out.append(data.substr(pos, end - pos));
      FInLine = feed == std::string_view::npos;
      pos = end;
      continue;
    }
    if (feed == std::string_view::npos) {
      const std::string_view rest = data.substr(pos);
      if (FMayDrop && FMayDrop(WithoutCarriageReturn(rest))) {
        // A line start that only grew keeps its clock.
        if (!(wasHolding && pos == 0)) FHeldSince = GetTickCount32();
        FHeld.assign(rest);
      } else {
        out.append(rest);
        FInLine = true;
      }
      break;
    }
    const std::string_view line = data.substr(pos, feed - pos);
    if (!FDrop || !FDrop(WithoutCarriageReturn(line))) out.append(data.substr(pos, feed + 1 - pos));
    pos = feed + 1;
  }
  return out;
}

std::string TLineChunkFilter::Flush(bool AAll) {
  if (FHeld.empty() || (!AAll && !TickElapsed(FHeldSince, FHoldMs))) return std::string();
  std::string out;
  out.swap(FHeld);
  FInLine = true;
  return out;
}

}  // namespace vexor
