// Child output cut into arbitrary chunks goes through the line splitting and the reply parsing.
// Checked: no crash; bad reply lines fail only with Exception; every byte handed in comes out
// exactly once (lines joined by line feeds, plus what stays buffered), also when handlers fail.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/Exceptions.h"
#include "requests/ChildProcessRequester.h"
#include "process/LineProtocol.h"

using namespace vexor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize == 0) return 0;
  // The first byte picks the chunk sizes; the rest is the child's output.
  const unsigned seed = AData[0];
  std::string_view input(reinterpret_cast<const char*>(AData + 1), ASize - 1);

  std::string buffer;
  std::string handedOut;
  auto handler = [&](const std::string& ALine) {
    if (ALine.find('\n') != std::string::npos) std::abort();
    // Every line handed out ended in a line feed.
    handedOut += ALine;
    handedOut += '\n';
    if (ClassifyLine(ALine) == lkReply) {
      int32_t id = 0;
      // Throws Exception for bad replies; anything else escapes and ends the run.
      IPacketPtr reply = TChildProcessRequester::ParseReply(std::string_view(ALine).substr(1), id);
      if (!reply) std::abort();
    }
  };

  size_t pos = 0, step = 1 + seed % 61;
  while (pos < input.size()) {
    std::string_view chunk = input.substr(pos, step);
    pos += chunk.size();
    try {
      SplitLines(buffer, chunk, handler);
    } catch (const Exception&) {
      // Reported by the worker in the program; the channel goes on.
    }
    // Nothing lost, nothing repeated: what was handed out plus what waits is all that came in.
    if (input.substr(0, pos) != handedOut + buffer) std::abort();
    step = 1 + (step * 7 + static_cast<unsigned char>(chunk.back())) % 97;
  }
  return 0;
}
