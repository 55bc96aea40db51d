#include "packets/xml/ParamList.h"

#include <algorithm>

#include "packets/Packets.h"
#include "packets/xml/TagTokenizer.h"

namespace vexor {

namespace {

// Ordering that ignores (ASCII) case, for the sorted form.
bool NameLess(std::string_view A, std::string_view B) {
  const size_t n = std::min(A.size(), B.size());
  for (size_t i = 0; i < n; ++i) {
    const char a = tagtext::Lower(A[i]), b = tagtext::Lower(B[i]);
    if (a != b) return static_cast<unsigned char>(a) < static_cast<unsigned char>(b);
  }
  return A.size() < B.size();
}

}  // namespace

void TParamList::Add(std::string_view AText) {
  tagtext::ForEachAttribute(AText, [this](std::string_view N, std::string_view V, bool AHasValue) {
    if (AHasValue || FKeepEmptyParams) Add(N, V);
  });
}

void TParamList::Add(std::string_view AName, std::string_view AValue) {
  FList.emplace_back(std::string(AName), std::string(AValue));
  SortIfDue();
}

int TParamList::Find(std::string_view AName) const {
  if (Sorted()) {
    auto it = std::lower_bound(FList.begin(), FList.end(), AName,
                               [](const TPair& P, std::string_view N) { return NameLess(P.first, N); });
    return it != FList.end() && SameName(it->first, AName) ? static_cast<int>(it - FList.begin()) : -1;
  }
  for (size_t i = 0; i < FList.size(); ++i)
    if (SameName(FList[i].first, AName)) return static_cast<int>(i);
  return -1;
}

std::string TParamList::GetValue(std::string_view AName) const {
  const int i = Find(AName);
  return i >= 0 ? FList[static_cast<size_t>(i)].second : std::string();
}

void TParamList::SetAutoSort(bool AValue) {
  FAutoSort = AValue;
  SortIfDue();
}

void TParamList::SortIfDue() {
  if (Sorted())
    std::stable_sort(FList.begin(), FList.end(),
                     [](const TPair& A, const TPair& B) { return NameLess(A.first, B.first); });
}

}  // namespace vexor
