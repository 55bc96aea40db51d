// The banner filter over a child's output: any bytes cut into any chunks must come out as the
// stream with exactly the dropped lines left out, whatever the cuts; terminal lines read as
// text never hold an escape character.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "process/LineChunkFilter.h"
#include "process/TerminalText.h"

namespace {

bool Dropped(std::string_view ALine) { return ALine.rfind("Deb", 0) == 0; }
bool MayBeDropped(std::string_view AStart) {
  const std::string_view start = "Deb";
  const size_t common = std::min(start.size(), AStart.size());
  return AStart.substr(0, common) == start.substr(0, common);
}

// The expected result: whole lines without their trailing carriage returns judged, the
// unfinished last line kept.
std::string Expected(const std::string& AStream) {
  std::string out;
  size_t pos = 0;
  while (pos < AStream.size()) {
    const size_t feed = AStream.find('\n', pos);
    if (feed == std::string::npos) {
      out.append(AStream, pos, std::string::npos);
      break;
    }
    std::string_view line(AStream.data() + pos, feed - pos);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!Dropped(line)) out.append(AStream, pos, feed + 1 - pos);
    pos = feed + 1;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize == 0) return 0;
  const unsigned seed = AData[0];
  const std::string stream(reinterpret_cast<const char*>(AData + 1), ASize - 1);
  // A hold time that never runs out within one input: only the final flush hands a start on.
  vexor::TLineChunkFilter filter(Dropped, MayBeDropped, 60000);
  std::string out;
  size_t pos = 0, step = 0;
  while (pos < stream.size()) {
    const size_t len = 1 + ((seed >> (step++ % 8)) & 7u);
    out += filter.Take(std::string_view(stream).substr(pos, len));
    pos += len;
  }
  out += filter.Flush(true);
  if (out != Expected(stream)) std::abort();
  if (vexor::TerminalLineText(stream).find('\x1b') != std::string::npos) std::abort();
  return 0;
}
