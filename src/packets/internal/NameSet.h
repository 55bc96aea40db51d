#pragma once
// Sets of names compared ignoring (ASCII) case, as packets compare property names: the JSON
// writer asks whether an object would repeat a key, the reader whether a key came before. A set
// belongs to one thread; it keeps views of the names, which must outlive it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "packets/Packets.h"

namespace vexor {

// Up to N names, asked whether a name is among them ignoring (ASCII) case. A 64-bit mask over
// length and first letter rules out most names without comparing; nothing is set up per slot.
template <size_t N>
class TSmallNameSet {
 public:
  // True when the name is there already; otherwise adds it (at most N names).
  bool Insert(std::string_view AName) {
    const unsigned first = AName.empty() ? 0 : static_cast<unsigned char>(AName[0]) | 0x20;
    const uint64_t bit = uint64_t(1) << ((AName.size() * 7 + first) & 63);
    if (FMask & bit)
      for (size_t j = 0; j < FCount; ++j)
        if (FLen[j] == AName.size() && SameName(std::string_view(FPtr[j], FLen[j]), AName)) return true;
    FMask |= bit;
    FPtr[FCount] = AName.data();
    FLen[FCount++] = AName.size();
    return false;
  }

 private:
  uint64_t FMask = 0;
  size_t FCount = 0;
  const char* FPtr[N];
  size_t FLen[N];
};

// Names asked whether they came before, ignoring (ASCII) case: a short list scanned directly for
// up to 64 names (the usual object), a hash set of lower-case copies for more. The names must
// outlive the set.
class TNameSet {
 public:
  explicit TNameSet(size_t AMost) {
    if (AMost > kShort) FLong.emplace().reserve(AMost);
  }
  // True when the name is there already; otherwise adds it.
  bool Insert(std::string_view AName) {
    if (!FLong) return FShort.Insert(AName);
    std::string lower(AName);
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c += 32;
    return !FLong->insert(std::move(lower)).second;
  }

 private:
  static constexpr size_t kShort = 64;
  TSmallNameSet<kShort> FShort;
  std::optional<std::unordered_set<std::string>> FLong;
};

}  // namespace vexor
