#pragma once
// The classic object list: items in insertion order, optionally owned (destroyed when removed),
// sortable with a three-way comparison. No lock: one thread at a time.
#include <algorithm>
#include <functional>
#include <vector>

#include "containers/ListErrors.h"
#include "containers/RefCounted.h"

namespace vexor {

enum TListNotification { lnAdded, lnExtracted, lnDeleted };

// Destroys an owned item: counted objects lose the owner's reference, plain ones are deleted.
template <class T>
void DisposeOwnedItem(T* AItem) {
  if (!AItem) return;
  if constexpr (std::is_base_of_v<IInterface, T>)
    AItem->_Release();
  else
    delete AItem;
}

template <class T>
class TObjectList {
 public:
  using TSortFunc = std::function<int(T* AItem1, T* AItem2)>;

  explicit TObjectList(bool AOwnsObjects = true) : FOwnsObjects(AOwnsObjects) {}
  TObjectList(const TObjectList&) = delete;
  TObjectList& operator=(const TObjectList&) = delete;
  virtual ~TObjectList() { Clear(); }

  int Count() const { return static_cast<int>(FItems.size()); }
  T* Items(int AIndex) const {
    CheckListIndex(AIndex, Count());
    return FItems[AIndex];
  }
  T* operator[](int AIndex) const { return Items(AIndex); }
  bool OwnsObjects() const { return FOwnsObjects; }
  void SetOwnsObjects(bool AValue) { FOwnsObjects = AValue; }

  int Add(T* AItem) {
    FItems.push_back(AItem);
    Notify(AItem, lnAdded);
    return Count() - 1;
  }
  void Insert(int AIndex, T* AItem) {
    CheckListIndex(AIndex, Count() + 1);
    FItems.insert(FItems.begin() + AIndex, AItem);
    Notify(AItem, lnAdded);
  }
  int IndexOf(T* AItem) const {
    auto it = std::find(FItems.begin(), FItems.end(), AItem);
    return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
  }
  void Delete(int AIndex) {
    T* item = Items(AIndex);
    FItems.erase(FItems.begin() + AIndex);
    Notify(item, lnDeleted);
  }
  int Remove(T* AItem) {
    int ix = IndexOf(AItem);
    if (ix >= 0) Delete(ix);
    return ix;
  }
  // Takes the item out without destroying it.
  T* Extract(T* AItem) {
    int ix = IndexOf(AItem);
    if (ix < 0) return nullptr;
    FItems.erase(FItems.begin() + ix);
    Notify(AItem, lnExtracted);
    return AItem;
  }
  void Clear() {
    while (!FItems.empty()) Delete(Count() - 1);
  }
  // Not stable.
  void Sort(const TSortFunc& ASortFunc) {
    std::sort(FItems.begin(), FItems.end(), [&](T* A, T* B) { return ASortFunc(A, B) < 0; });
  }

  typename std::vector<T*>::const_iterator begin() const { return FItems.begin(); }
  typename std::vector<T*>::const_iterator end() const { return FItems.end(); }

 protected:
  virtual void Notify(T* AItem, TListNotification AAction) {
    if (AAction == lnDeleted && FOwnsObjects) DisposeOwnedItem(AItem);
  }

 private:
  std::vector<T*> FItems;
  bool FOwnsObjects;
};

}  // namespace vexor
