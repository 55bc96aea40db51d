// A settings value file as anyone who can write it leaves it: any bytes parse into values, and
// the values one write gives back read as the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/Registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  const std::string text(reinterpret_cast<const char*>(AData), ASize);
  const auto values = vexor::TRegistry::ParseValues(text);
  for (const auto& [name, value] : values)
    if (value.Kind != vexor::TRegValueKind::rvString && value.Kind != vexor::TRegValueKind::rvDWord) std::abort();
  return 0;
}
