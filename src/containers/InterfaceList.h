#pragma once
// A lockable list of counted interface references, and the snapshot enumerator over it.
// TInterfaceList: every operation takes the list's own (re-entrant) lock, so any thread may call
// it; Lock/Unlock group several operations. SnapOf copies the items under the lock; the snapshot
// is then walked without any lock, so callbacks may change the source list.
#include <functional>
#include <mutex>
#include <vector>

#include "containers/RefCounted.h"

namespace vexor {

template <class T>
class TInterfaceList {
 public:
  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }

  int Add(TRef<T> AItem) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    FItems.push_back(std::move(AItem));
    return static_cast<int>(FItems.size()) - 1;
  }
  int IndexOf(const T* AItem) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    for (size_t i = 0; i < FItems.size(); ++i)
      if (FItems[i].get() == AItem) return static_cast<int>(i);
    return -1;
  }
  // Removes the first reference to AItem; its former position or -1.
  int Remove(const T* AItem) {
    TRef<T> removed;  // released after the lock
    std::lock_guard<std::recursive_mutex> lock(FLock);
    int ix = IndexOf(AItem);
    if (ix >= 0) {
      removed = std::move(FItems[ix]);
      FItems.erase(FItems.begin() + ix);
    }
    return ix;
  }
  void Clear() {
    std::vector<TRef<T>> items;
    {
      std::lock_guard<std::recursive_mutex> lock(FLock);
      items.swap(FItems);
    }
    // References released outside the lock: a release may run a destructor that uses the list.
  }
  int Count() {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    return static_cast<int>(FItems.size());
  }
  // The item at AIndex, or nil when out of range.
  TRef<T> Get(int AIndex) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    return AIndex >= 0 && AIndex < static_cast<int>(FItems.size()) ? FItems[AIndex] : TRef<T>();
  }
  std::vector<TRef<T>> Snapshot() {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    return FItems;
  }

 private:
  std::recursive_mutex FLock;
  std::vector<TRef<T>> FItems;  // guarded by FLock
};

template <class T>
class IInterfaceListEnumerator : public virtual IInterface {
 public:
  virtual void ForEach(const std::function<void(const TRef<T>& AItem)>& AProc) = 0;
  virtual void ForEachUntil(const std::function<void(const TRef<T>& AItem, bool& AStop)>& AProc) = 0;
  virtual void ForEachIndexed(const std::function<void(const TRef<T>& AItem, int ACount, int AIndex)>& AProc) = 0;
  virtual TRef<T> FindFirst(const std::function<bool(const TRef<T>& AItem)>& AFunc) = 0;
};

template <class T>
class TSafeInterfaceListEnumerator : public TRefCntObject, public IInterfaceListEnumerator<T> {
 public:
  static TRef<IInterfaceListEnumerator<T>> SnapOf(TInterfaceList<T>& ASource) {
    auto snap = MakeRef<TSafeInterfaceListEnumerator>();
    snap->FData = ASource.Snapshot();
    return snap;
  }

  void ForEach(const std::function<void(const TRef<T>&)>& AProc) override {
    for (auto& item : FData) AProc(item);
  }
  void ForEachUntil(const std::function<void(const TRef<T>&, bool&)>& AProc) override {
    bool stop = false;
    for (auto& item : FData) {
      AProc(item, stop);
      if (stop) break;
    }
  }
  void ForEachIndexed(const std::function<void(const TRef<T>&, int, int)>& AProc) override {
    int n = static_cast<int>(FData.size());
    for (int i = 0; i < n; ++i) AProc(FData[i], n, i);
  }
  TRef<T> FindFirst(const std::function<bool(const TRef<T>&)>& AFunc) override {
    for (auto& item : FData)
      if (AFunc(item)) return item;
    return TRef<T>();
  }

 private:
  std::vector<TRef<T>> FData;
};

}  // namespace vexor
