#pragma once
// TParamList: an ordered list of name-value pairs (the attributes of a tag). Names compare without
// regard to (ASCII) case; values are strings. Lookups scan the names in order, or halve the list
// once it is kept sorted (FAutoSort with more than four pairs). Not synchronized: one thread at a
// time.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vexor {

class TParamList {
 public:
  using TPair = std::pair<std::string, std::string>;

  TParamList() = default;
  explicit TParamList(bool AKeepEmptyParams) : FKeepEmptyParams(AKeepEmptyParams) {}

  // Adds "name=value" (the value's quotes removed); a name without "=" is kept with an empty
  // value only when FKeepEmptyParams is set.
  void Add(std::string_view AText);
  void Add(std::string_view AName, std::string_view AValue);
  // The value of the first pair named AName, or the empty string.
  std::string GetValue(std::string_view AName) const;
  bool Exists(std::string_view AName) const { return Find(AName) >= 0; }
  // Index of the first pair named AName, or -1.
  int Find(std::string_view AName) const;
  void Clear() { FList.clear(); }
  size_t Count() const { return FList.size(); }
  const TPair& operator[](size_t AIndex) const { return FList[AIndex]; }
  void SetAutoSort(bool AValue);

  // The pairs, in order (sorted by name when FAutoSort keeps them so).
  std::vector<TPair> FList;
  bool FMultiLine = false;
  bool FAutoSort = false;
  bool FKeepEmptyParams = true;

 private:
  bool Sorted() const { return FAutoSort && FList.size() > 4; }
  void SortIfDue();
};

}  // namespace vexor
