#include "containers/ListErrors.h"

#include <string>

#include "platform/Exceptions.h"

namespace vexor {

void RaiseListIndexError(int AIndex) { throw Exception("List index out of bounds (" + std::to_string(AIndex) + ")"); }
void RaiseNoKeyFunction() { throw Exception("Function _Value must be overriden or OnGetValue must be set."); }
void RaiseDuplicateObject() { throw Exception("Attempt to add duplicate object!"); }
void RaiseRemoveByKeyWhileUpdating() { throw Exception("Can't remove by key"); }

namespace {
inline unsigned char FoldAZ(unsigned char C) { return (C >= 'A' && C <= 'Z') ? C + ('a' - 'A') : C; }
}  // namespace

int CompareTextAZ(std::string_view A, std::string_view B) noexcept {
  size_t n = A.size() < B.size() ? A.size() : B.size();
  for (size_t i = 0; i < n; ++i) {
    int d = int(FoldAZ(static_cast<unsigned char>(A[i]))) - int(FoldAZ(static_cast<unsigned char>(B[i])));
    if (d != 0) return d;
  }
  return A.size() < B.size() ? -1 : (A.size() > B.size() ? 1 : 0);
}

int CompareStrOrdinal(std::string_view A, std::string_view B) noexcept {
  int c = A.compare(B);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace vexor

namespace vexor {
void RaiseNoIndexHashValue() { throw Exception("Interface does not provide IIndexHashValue"); }
}  // namespace vexor
