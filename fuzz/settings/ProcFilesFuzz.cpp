// The /proc texts the program reads: a status text's figures and a socket table's listeners.
// The first input byte picks the port; any text parses without a crash or overflow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/ProcFiles.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  if (ASize == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(AData) + 1, ASize - 1);
  for (const char* key : {"VmHWM", "VmRSS"}) {
    const int64_t bytes = vexor::ProcStatusBytes(text, key);
    if (bytes < -1 || bytes > 0xFFFFFFFFll) std::abort();
  }
  for (const std::string& inode : vexor::ListeningSocketInodes(text, AData[0] * 257))
    if (inode.empty()) std::abort();
  return 0;
}
