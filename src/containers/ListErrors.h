#pragma once
// The fixed error texts of the lists, raised as vexor::Exception. Thread-safe.
#include <string_view>

namespace vexor {

[[noreturn]] void RaiseListIndexError(int AIndex);
inline void CheckListIndex(int AIndex, int ACount) {
  if (AIndex < 0 || AIndex >= ACount) RaiseListIndexError(AIndex);
}
[[noreturn]] void RaiseNoKeyFunction();
[[noreturn]] void RaiseDuplicateObject();
[[noreturn]] void RaiseRemoveByKeyWhileUpdating();

// Text order ignoring the case of A-Z only; every other byte compares by value. <0, 0, >0.
int CompareTextAZ(std::string_view A, std::string_view B) noexcept;
// Plain byte order. <0, 0, >0.
int CompareStrOrdinal(std::string_view A, std::string_view B) noexcept;

}  // namespace vexor
