// Environment files: any text parses into valid NAME=VALUE entries or fails with a line number.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/EnvFile.h"
#include "app/TarnwickOptions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string text(reinterpret_cast<const char*>(AData), ASize);
  const vexor::TEnvParseResult result = vexor::ParseEnvText(text);
  if (!result.Error.empty() && (result.Error.rfind("line ", 0) != 0 || !result.Entries.empty())) std::abort();
  for (const std::string& entry : result.Entries)
    if (!vexor::CheckEnvironmentEntry(entry).empty()) std::abort();
  return 0;
}
