#pragma once
// Indexes of interface references keyed by K (text for TStrIntfIndex). Each entry keeps a counted
// reference to its interface. Same thread contract as the index lists (IndexList.h): the inner
// list's lock guards every operation; GetItem/GetValue/GetData by position read without it.
#include <string>

#include "containers/IndexList.h"
#include "containers/RefCounted.h"

namespace vexor {

// Objects that name their own key in a TStrIntfIndex.
class IIndexHashValue : public virtual IInterface {
 public:
  virtual std::string GetHashValue() = 0;
};

template <class K, class I>
struct TIntfContainerObj {
  TIntfContainerObj(K AHash, TRef<I> AIntf) : FHash(std::move(AHash)), FIntf(std::move(AIntf)) {}
  K FHash;
  TRef<I> FIntf;
};

template <class K, class I, class TListBase = TIndexList<K, TIntfContainerObj<K, I>>>
class TBaseIntfIndex {
 public:
  using TContainer = TIntfContainerObj<K, I>;
  using TOnFound = std::function<void(const TRef<I>& AIntf)>;
  using TOnAdd = std::function<TRef<I>(const K& AKey)>;

  explicit TBaseIntfIndex(TRef<IReadWriteSync> ALock = nullptr) : FList(std::move(ALock)) {}
  virtual ~TBaseIntfIndex() = default;

  // The position, or -1 when the key exists and duplicates are not accepted.
  int Add(const K& AIntfHashValue, TRef<I> AIntf) {
    auto* item = new TContainer(AIntfHashValue, std::move(AIntf));
    int ix;
    try {
      ix = FList.Add(AIntfHashValue, item);
    } catch (...) {
      delete item;
      throw;
    }
    if (ix < 0) delete item;
    return ix;
  }
  // Removes every entry with the key; the number removed.
  int Remove(const K& AIntfHashValue) { return FList.Remove(AIntfHashValue); }
  TRef<I> GetItemByIndex(const K& AIntfHashValue) {
    TRef<I> result;
    TryGetValue(AIntfHashValue, result);
    return result;
  }
  TRef<I> GetItem(int AIx) { return FList.Items(AIx)->FIntf; }
  void SetItem(int AIx, TRef<I> AValue) {
    FList.Lock();
    try {
      FList.Items(AIx)->FIntf = std::move(AValue);
    } catch (...) {
      FList.Unlock();
      throw;
    }
    FList.Unlock();
  }
  K GetValue(int AIx) { return FList.Items(AIx)->FHash; }
  void GetData(int AIx, K& AIntfHash, TRef<I>& AIntf) {
    TContainer* c = FList.Items(AIx);
    AIntfHash = c->FHash;
    AIntf = c->FIntf;
  }
  bool Find(const K& AIntfHashValue, int& AIx) { return FList.Find(AIntfHashValue, AIx); }
  bool Find(const K& AIntfHashValue, int& AIx, int& ALen) { return FList.Find(AIntfHashValue, AIx, ALen); }
  bool TryGetValue(const K& AValue, TRef<I>& AIntf) {
    FList.LockRead();
    TContainer* c = nullptr;
    bool found = FList.TryGetValue(AValue, c);
    AIntf = found ? c->FIntf : TRef<I>();
    FList.UnlockRead();
    return found;
  }
  // Atomic look-up-or-add; AOnAdd returns the interface to store under the key (nil: nothing).
  bool OnValue(const K& AValue, const TOnFound& AOnFound, const TOnAdd& AOnAdd) {
    return FList.OnValue(
        AValue,
        [&](TContainer* c) {
          if (AOnFound) AOnFound(c->FIntf);
        },
        [&]() -> TContainer* {
          if (!AOnAdd) return nullptr;
          TRef<I> intf = AOnAdd(AValue);
          return intf ? new TContainer(AValue, std::move(intf)) : nullptr;
        });
  }
  void Clear() { FList.Clear(); }
  void Delete(int AIndex) { FList.Delete(AIndex); }
  int GetCount() const { return FList.Count(); }
  void SetCapacity(int AValue) { FList.SetCapacity(AValue); }
  TDuplicates Duplicates() const { return FList.Duplicates(); }
  void SetDuplicates(TDuplicates AValue) { FList.SetDuplicates(AValue); }
  void Lock() { FList.Lock(); }
  void Unlock() { FList.Unlock(); }
  void LockRead() { FList.LockRead(); }
  void UnlockRead() { FList.UnlockRead(); }
  void RemoveLocking() { FList.RemoveLocking(); }

 protected:
  // Owns its containers; the key is the container's FHash.
  class TList : public TListBase {
   public:
    explicit TList(TRef<IReadWriteSync> ALock) : TListBase(true, std::move(ALock), "TBaseIntfIndex") {}
    K _Value(TContainer* AObject) override { return AObject->FHash; }
  };
  TList FList;
};

// Derives the key from the interface itself.
template <class K, class I, class TListBase = TIndexList<K, TIntfContainerObj<K, I>>>
class THashedIntfIndex : public TBaseIntfIndex<K, I, TListBase> {
  using TBase = TBaseIntfIndex<K, I, TListBase>;

 public:
  using TBase::Add;
  using TBase::Find;
  using TBase::Remove;
  using TBase::TBase;

  virtual K GetHashValue(I* AIntf) = 0;

  int Add(TRef<I> AIntf) {
    K key = GetHashValue(AIntf.get());
    return TBase::Add(key, std::move(AIntf));
  }
  // With dupAccept the entry holding exactly AIntf goes; otherwise the entry under its key.
  void Remove(const TRef<I>& AIntf) {
    this->FList.Lock();
    try {
      if (this->FList.Duplicates() == dupAccept) {
        for (int i = 0; i < this->FList.Count(); ++i)
          if (this->FList.Items(i)->FIntf == AIntf) {
            this->FList.Delete(i);
            break;
          }
      } else {
        int ix;
        if (this->FList.Find(GetHashValue(AIntf.get()), ix)) this->FList.Delete(ix);
      }
    } catch (...) {
      this->FList.Unlock();
      throw;
    }
    this->FList.Unlock();
  }
  bool Find(const TRef<I>& AIntf, int& AIx) { return TBase::Find(GetHashValue(AIntf.get()), AIx); }
  bool Find(const TRef<I>& AIntf, int& AIx, int& ALen) { return TBase::Find(GetHashValue(AIntf.get()), AIx, ALen); }
};

[[noreturn]] void RaiseNoIndexHashValue();

// Text-keyed interface index; the key comes from the interface's IIndexHashValue. Ignores the
// case of A-Z unless SetCaseSensitive(true).
template <class I>
class TStrIntfIndex : public THashedIntfIndex<std::string, I, TStrIndex<TIntfContainerObj<std::string, I>>> {
  using TBase = THashedIntfIndex<std::string, I, TStrIndex<TIntfContainerObj<std::string, I>>>;

 public:
  using TBase::TBase;

  std::string GetHashValue(I* AIntf) override {
    auto* named = dynamic_cast<IIndexHashValue*>(AIntf);
    if (!named) RaiseNoIndexHashValue();
    return named->GetHashValue();
  }
  void SetCaseSensitive(bool AValue) { this->FList.SetCaseSensitive(AValue); }
};

}  // namespace vexor
