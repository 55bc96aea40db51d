#pragma once
// Keyed object lists: items kept sorted by a key taken from each item, binary-search lookup,
// optional ownership, an optional built-in lock and a bulk mode that appends and sorts once.
// Thread contract: with a lock (the default, a re-entrant exclusive TXSimpleRWSync), every
// mutating operation takes the write lock and every lookup the read lock, so any thread may call
// them; callbacks (ForEach, FindValue, OnValue) run with the lock held and must not wait for a
// thread that needs the same list. Count, Items and enumeration read without the lock: wrap them
// in Lock/LockRead when other threads may change the list. After RemoveLocking the list must be
// used by one thread only. The lock is a leaf: hold it briefly.
#include <functional>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "containers/ListErrors.h"
#include "containers/ObjectList.h"
#include "containers/RefCounted.h"
#include "containers/XCriticalSection.h"

namespace vexor {

enum TDuplicates { dupIgnore, dupAccept, dupError };
enum TCollectionNotification { cnAdded, cnExtracted, cnRemoved };

template <class T>
class TCommonIndexList {
 public:
  using const_iterator = typename std::vector<T*>::const_iterator;

  // ALock nil: a TXSimpleRWSync named AClassName is created.
  explicit TCommonIndexList(bool AOwnsObjects = false, TRef<IReadWriteSync> ALock = nullptr,
                            const char* AClassName = "TCommonIndexList")
      : FLock(ALock ? std::move(ALock) : TRef<IReadWriteSync>(MakeRef<TXSimpleRWSync>(AClassName))),
        FOwnsObjects(AOwnsObjects) {}
  TCommonIndexList(const TCommonIndexList&) = delete;
  TCommonIndexList& operator=(const TCommonIndexList&) = delete;
  virtual ~TCommonIndexList() {
    for (T* item : FList)
      if (FOwnsObjects) DisposeOwnedItem(item);
  }

  int Count() const { return static_cast<int>(FList.size()); }
  T* Items(int AIndex) const {
    CheckListIndex(AIndex, Count());
    return FList[AIndex];
  }
  T* operator[](int AIndex) const { return Items(AIndex); }
  int Capacity() const { return static_cast<int>(FList.capacity()); }
  // Only grows the storage.
  void SetCapacity(int ANewCapacity) {
    TWriteLock lock(this);
    if (ANewCapacity > Capacity()) FList.reserve(ANewCapacity);
  }
  bool OwnsObjects() const { return FOwnsObjects; }
  void SetOwnsObjects(bool AValue) { FOwnsObjects = AValue; }
  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates AValue) { FDuplicates = AValue; }
  bool IndexValid() const { return FIndexValid; }
  bool Updating() const { return FUpdating > 0; }
  // Sorts since the outermost BeginUpdate.
  int BuildCount() const { return FBuildCount; }

  // Appends (keyed lists insert in key order); the position, or -1 when not added.
  virtual int Add(T* AObject) {
    TWriteLock lock(this);
    DoInsert(Count(), AObject);
    return Count() - 1;
  }
  void Insert(int AIndex, T* AItem) {
    TWriteLock lock(this);
    CheckListIndex(AIndex, Count() + 1);
    DoInsert(AIndex, AItem);
  }
  // Removes the item at AIndex, destroying it when owned.
  virtual void Delete(int AIndex) {
    TWriteLock lock(this);
    CheckListIndex(AIndex, Count());
    T* item = FList[AIndex];
    FList.erase(FList.begin() + AIndex);
    FIndexValid = false;
    ItemNotify(item, cnRemoved);
    if (FOwnsObjects) DisposeOwnedItem(item);
  }
  // Removes the first identical reference; its former position or -1.
  virtual int Remove(T* AObject) {
    TWriteLock lock(this);
    int ix = IndexOfItem(AObject);
    if (ix >= 0) Delete(ix);
    return ix;
  }
  virtual void Clear() {
    TWriteLock lock(this);
    std::vector<T*> items;
    items.swap(FList);
    FIndexValid = true;
    for (T* item : items) {
      ItemNotify(item, cnRemoved);
      if (FOwnsObjects) DisposeOwnedItem(item);
    }
  }

  void BeginUpdate() {
    TWriteLock lock(this);
    if (FUpdating == 0) {
      FIndexValid = true;
      FBuildCount = 0;
    }
    ++FUpdating;
  }
  void EndUpdate() {
    TWriteLock lock(this);
    if (FUpdating == 0) return;
    if (--FUpdating == 0 && Count() > 1 && !FIndexValid) Rebuild();
  }

  // Replaces the content with AList's items in their order, then sorts unless updating.
  void BuildIndex(const TCommonIndexList& AList) { BuildFrom(AList.begin(), AList.end()); }
  void BuildIndex(const std::vector<T*>& AList) { BuildFrom(AList.begin(), AList.end()); }
  void BuildIndex(const TObjectList<T>& AList) { BuildFrom(AList.begin(), AList.end()); }
  // Sorts by key; nothing to do without a key.
  virtual void Rebuild() {}

  void Lock() {
    if (FLock) FLock->BeginWrite();
  }
  void Unlock() {
    if (FLock) FLock->EndWrite();
  }
  void LockRead() {
    if (FLock) FLock->BeginRead();
  }
  void UnlockRead() {
    if (FLock) FLock->EndRead();
  }
  // Drops the lock for good; the caller guarantees single-threaded use from now on.
  void RemoveLocking() { FLock = nullptr; }
  bool HasLock() const { return static_cast<bool>(FLock); }

  const_iterator begin() const { return FList.begin(); }
  const_iterator end() const { return FList.end(); }

 protected:
  struct TWriteLock {
    TCommonIndexList* L;
    explicit TWriteLock(TCommonIndexList* AList) : L(AList) { L->Lock(); }
    ~TWriteLock() { L->Unlock(); }
  };
  struct TReadLock {
    TCommonIndexList* L;
    explicit TReadLock(TCommonIndexList* AList) : L(AList) { L->LockRead(); }
    ~TReadLock() { L->UnlockRead(); }
  };

  // Called for every addition, removal and extraction.
  virtual void ItemNotify(T* AItem, TCollectionNotification AAction) {}

  void DoInsert(int AIndex, T* AItem) {
    FList.insert(FList.begin() + AIndex, AItem);
    FIndexValid = false;
    ItemNotify(AItem, cnAdded);
  }
  T* DoExtract(int AIndex) {
    T* item = FList[AIndex];
    FList.erase(FList.begin() + AIndex);
    FIndexValid = false;
    ItemNotify(item, cnExtracted);
    return item;
  }
  int IndexOfItem(T* AItem) const {
    for (size_t i = 0; i < FList.size(); ++i)
      if (FList[i] == AItem) return static_cast<int>(i);
    return -1;
  }
  template <class It>
  void BuildFrom(It AFirst, It ALast) {
    TWriteLock lock(this);
    std::vector<T*> items(AFirst, ALast);  // AList may be this list
    // An owned item that comes back (the list rebuilt from itself, or overlapping items) must
    // not be destroyed on its way out.
    std::unordered_set<T*> kept(items.begin(), items.end());
    std::vector<T*> old;
    old.swap(FList);
    FIndexValid = true;
    for (T* item : old) {
      ItemNotify(item, cnRemoved);
      if (FOwnsObjects && !kept.count(item)) DisposeOwnedItem(item);
    }
    for (T* item : items) DoInsert(Count(), item);
    if (FUpdating == 0) Rebuild();
  }

  // Guarded by FLock (when there is one).
  std::vector<T*> FList;
  TRef<IReadWriteSync> FLock;
  int FUpdating = 0;
  TDuplicates FDuplicates = dupIgnore;
  bool FIndexValid = true;
  int FBuildCount = 0;
  bool FOwnsObjects;
};

// Keyed list: K is the key type, T the item type. The key comes from _Value (override it) or from
// OnGetValue.
template <class K, class T>
class TIndexList : public TCommonIndexList<T> {
  using TBase = TCommonIndexList<T>;

 public:
  using TGetValue = std::function<K(TIndexList& AList, T* AItem)>;
  using TOnFound = std::function<void(T* AItem)>;
  using TOnAdd = std::function<T*()>;
  // CompareValues results.
  static constexpr int cvLess = 0, cvEqual = 1, cvGreater = 2;

  explicit TIndexList(bool AOwnsObjects = false, TRef<IReadWriteSync> ALock = nullptr,
                      const char* AClassName = "TIndexList")
      : TBase(AOwnsObjects, std::move(ALock), AClassName) {}

  void SetOnGetValue(TGetValue AValue) { FOnGetValue = std::move(AValue); }

  virtual K _Value(T* AObject) {
    if (!FOnGetValue) RaiseNoKeyFunction();
    return FOnGetValue(*this, AObject);
  }
  virtual int CompareValues(const K& A, const K& B) {
    if (A < B) return cvLess;
    if (B < A) return cvGreater;
    return cvEqual;
  }

  int Add(T* AObject) override {
    typename TBase::TWriteLock lock(this);
    return Add(_Value(AObject), AObject);
  }
  // Keyed insertion; the position, or -1 when refused as a duplicate.
  int Add(const K& AValue, T* AObject) {
    typename TBase::TWriteLock lock(this);
    int ix;
    bool duplicate;
    if (this->FUpdating > 0) {
      ix = this->Count();
      duplicate = this->FDuplicates != dupAccept && this->IndexOfItem(AObject) >= 0;
    } else {
      duplicate = Find(AValue, ix);
    }
    if (this->FDuplicates == dupAccept || !duplicate) {
      this->DoInsert(ix, AObject);
      // Insertion at the key's position keeps the order; only bulk appends leave it unsorted.
      this->FIndexValid = this->FUpdating == 0;
      return ix;
    }
    if (this->FDuplicates == dupError) RaiseDuplicateObject();
    return -1;
  }

  int Remove(T* AObject) override {
    typename TBase::TWriteLock lock(this);
    int ix = -1;
    if (this->FUpdating == 0 && this->FDuplicates != dupAccept && this->Count() >= 100) {
      // Only the identical object may go: another one can sit under the same key.
      if (!Find(_Value(AObject), ix) || this->FList[ix] != AObject) ix = -1;
    }
    if (ix < 0) ix = this->IndexOfItem(AObject);
    if (ix >= 0) this->Delete(ix);
    return ix;
  }
  // Removes every item with key AValue; the number removed.
  int Remove(const K& AValue) {
    typename TBase::TWriteLock lock(this);
    if (this->FUpdating > 0) RaiseRemoveByKeyWhileUpdating();
    int ix, len;
    if (!Find(AValue, ix, len)) return 0;
    for (int i = 0; i < len; ++i) this->Delete(ix);
    return len;
  }

  // Binary search: true when found; AIndex is the position found or the insertion position.
  bool Find(const K& AValue, int& AIndex) {
    typename TBase::TReadLock lock(this);
    if (this->FUpdating > 0 && !this->FIndexValid) Rebuild();
    int lo = 0, hi = this->Count() - 1, last = cvLess;
    while (hi >= lo) {
      int mid = (lo + hi) / 2;
      last = CompareValues(_Value(this->FList[mid]), AValue);
      if (last == cvLess) {
        lo = mid + 1;
      } else if (last == cvGreater) {
        hi = mid - 1;
      } else {
        lo = mid;
        hi = mid - 1;
      }
    }
    AIndex = lo;
    return lo < this->Count() && last == cvEqual;
  }
  // As Find; on success AIndex is the first item with the key and ALen the number of them.
  bool Find(const K& AValue, int& AIndex, int& ALen) {
    typename TBase::TReadLock lock(this);
    ALen = 0;
    if (!Find(AValue, AIndex)) return false;
    while (AIndex > 0 && CompareValues(_Value(this->FList[AIndex - 1]), AValue) == cvEqual) --AIndex;
    int n = this->Count();
    while (AIndex + ALen < n && CompareValues(_Value(this->FList[AIndex + ALen]), AValue) == cvEqual) ++ALen;
    return true;
  }
  bool Find(T* AItem, int& AIndex) { return Find(_Value(AItem), AIndex); }
  bool Find(T* AItem, int& AIndex, int& ALen) { return Find(_Value(AItem), AIndex, ALen); }

  bool TryGetValue(const K& AValue, T*& AObject) {
    typename TBase::TReadLock lock(this);
    int ix;
    bool found = Find(AValue, ix);
    AObject = found ? this->FList[ix] : nullptr;
    return found;
  }
  // Atomic look-up-or-add: AOnFound gets the item found; otherwise AOnAdd's object (when not nil)
  // is added. Answers whether the key was found.
  bool OnValue(const K& AValue, const TOnFound& AOnFound, const TOnAdd& AOnAdd) {
    typename TBase::TWriteLock lock(this);
    int ix;
    if (Find(AValue, ix)) {
      if (AOnFound) AOnFound(this->FList[ix]);
      return true;
    }
    if (AOnAdd) {
      if (T* item = AOnAdd()) Add(item);
    }
    return false;
  }
  void ForEach(const std::function<void(T*)>& AEnum) {
    typename TBase::TReadLock lock(this);
    if (this->FUpdating > 0 && !this->FIndexValid) Rebuild();
    for (size_t i = 0; i < this->FList.size(); ++i) AEnum(this->FList[i]);
  }
  T* FindValue(const std::function<bool(T*)>& AEnum) {
    typename TBase::TReadLock lock(this);
    if (this->FUpdating > 0 && !this->FIndexValid) Rebuild();
    for (T* item : this->FList)
      if (AEnum(item)) return item;
    return nullptr;
  }
  // Takes the item out without destroying it.
  T* ExtractByIndex(int AIx) {
    typename TBase::TWriteLock lock(this);
    CheckListIndex(AIx, this->Count());
    T* item = this->DoExtract(AIx);
    this->FIndexValid = this->FUpdating == 0;
    return item;
  }
  void Rebuild() override {
    typename TBase::TWriteLock lock(this);
    if (!this->FList.empty()) {
      std::vector<T*>& list = this->FList;
      QuickSort(list, 0, static_cast<int>(list.size()) - 1);
    }
    ++this->FBuildCount;
    this->FIndexValid = true;
  }

 private:
  // Keys are read at every comparison (not cached), so the sort sees key changes of its items.
  void QuickSort(std::vector<T*>& AList, int L, int R) {
    while (L < R) {
      int i = L, j = R;
      T* pivot = AList[(L + R) / 2];
      K pivotKey = _Value(pivot);
      while (i <= j) {
        while (CompareValues(_Value(AList[i]), pivotKey) == cvLess) ++i;
        while (CompareValues(_Value(AList[j]), pivotKey) == cvGreater) --j;
        if (i <= j) {
          if (i != j) std::swap(AList[i], AList[j]);
          ++i;
          --j;
        }
      }
      if (L < j) QuickSort(AList, L, j);
      L = i;
    }
  }

  TGetValue FOnGetValue;
};

template <class T>
class TIntIndex : public TIndexList<int32_t, T> {
 public:
  explicit TIntIndex(bool AOwnsObjects = false, TRef<IReadWriteSync> ALock = nullptr,
                     const char* AClassName = "TIntIndex")
      : TIndexList<int32_t, T>(AOwnsObjects, std::move(ALock), AClassName) {}
};

// Text keys; by default the case of A-Z is ignored. SetCaseSensitive does not re-sort: call
// Rebuild when the list is not empty.
template <class T>
class TStrIndex : public TIndexList<std::string, T> {
  using TBase = TIndexList<std::string, T>;

 public:
  explicit TStrIndex(bool AOwnsObjects = false, TRef<IReadWriteSync> ALock = nullptr,
                     const char* AClassName = "TStrIndex")
      : TBase(AOwnsObjects, std::move(ALock), AClassName) {}

  bool CaseSensitive() const { return FCaseSensitive; }
  void SetCaseSensitive(bool AValue) {
    FCaseSensitive = AValue;
    FCompare = AValue ? &CompareStrOrdinal : &CompareTextAZ;
  }
  int CompareValues(const std::string& A, const std::string& B) override {
    int c = FCompare(A, B);
    return c < 0 ? TBase::cvLess : (c > 0 ? TBase::cvGreater : TBase::cvEqual);
  }

 private:
  int (*FCompare)(std::string_view, std::string_view) noexcept = &CompareTextAZ;
  bool FCaseSensitive = false;
};

}  // namespace vexor
