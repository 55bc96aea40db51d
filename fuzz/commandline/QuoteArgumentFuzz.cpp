// Child command lines: any bytes, quoted as an argument, split back into exactly that argument,
// also between other arguments; and splitting any line never fails.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/CommandLine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string text(reinterpret_cast<const char*>(AData), ASize);
  (void)vexor::SplitCommandLine(text);
  const std::vector<std::string> args = vexor::SplitCommandLine("node " + vexor::QuoteArgument(text) + " " +
                                                                vexor::QuoteArgument(text));
  if (args != std::vector<std::string>{"node", text, text}) std::abort();
  return 0;
}
