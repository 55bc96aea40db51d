#include "diagnostics/AppStats.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <ctime>
#include <mutex>

#include "platform/Exceptions.h"
#include "containers/IntfIndex.h"
#include "platform/Ticks.h"

namespace vexor {

int64_t StatVariantToInt64(const TStatVariant& AValue) {
  if (auto i = std::get_if<int64_t>(&AValue)) return *i;
  if (auto d = std::get_if<double>(&AValue)) return std::llround(*d);
  if (auto s = std::get_if<std::string>(&AValue)) {
    int64_t i = 0;
    auto [end, ec] = std::from_chars(s->data(), s->data() + s->size(), i);
    if (ec == std::errc() && end == s->data() + s->size()) return i;
    double d = 0;
    auto [dend, dec] = std::from_chars(s->data(), s->data() + s->size(), d);
    if (dec == std::errc() && dend == s->data() + s->size() && !s->empty()) return std::llround(d);
    throw Exception("Could not convert variant of type (String) into type (Int64)");
  }
  return 0;
}

namespace {

int64_t HighResNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}
constexpr double kHighResFrequency = 1e9;  // the stamp counts nanoseconds

class TAppStatDataList;

class TAppStatData : public TRefCntObject, public IAppStatCounter, public IIndexHashValue {
 public:
  TAppStatData(std::string AName, TRef<TAppStatDataList> AOwner) : FName(std::move(AName)), FOwner(std::move(AOwner)) {}

  int32_t _Release() noexcept override;

  void _Inc() override { AddInt(1, false); }
  void _Dec() override { AddInt(-1, false); }
  void Inc(int32_t V) override { AddInt(V, true); }
  void Dec(int32_t V) override { AddInt(-int64_t(V), true); }
  void TimeStamp() override {
    std::lock_guard<std::mutex> lock(FLock);
    Touch();
    SetIntLocked(FLastChanged.load(std::memory_order_relaxed));
    FStatType = stTimeStamp;
  }
  void StartTimer() override { Touch(); }
  void StopTimer() override {
    std::lock_guard<std::mutex> lock(FLock);
    SetIntLocked(TicksSince(FLastChanged.load(std::memory_order_relaxed)));
    FStatType = stTimerMs;
  }
  void HighResTimeStamp() override {
    std::lock_guard<std::mutex> lock(FLock);
    SetIntLocked(HighResNow());
    FStatType = stTimeStamp;
    Touch();
  }
  void StartHighResTimer() override {
    std::lock_guard<std::mutex> lock(FLock);
    SetIntLocked(HighResNow());
    Touch();
  }
  void StopHighResTimer() override {
    std::lock_guard<std::mutex> lock(FLock);
    int64_t start = FIsInt ? FInt.load() : StatVariantToInt64(FValue);
    FValue = double(HighResNow() - start) * 1000.0 / kHighResFrequency;
    FIsInt = false;
    FStatType = stTimerMs;
  }
  int64_t IVal() override {
    if (FIsInt.load()) return FInt.load();
    std::lock_guard<std::mutex> lock(FLock);
    return FIsInt ? FInt.load() : StatVariantToInt64(FValue);
  }
  TStatVariant Val() override {
    std::lock_guard<std::mutex> lock(FLock);
    return ValueLocked();
  }
  void Val(int64_t V) override {
    if (FIsInt.load()) {
      FInt.store(V);
      Touch();
      return;
    }
    std::lock_guard<std::mutex> lock(FLock);
    SetIntLocked(V);
    FChanges.fetch_add(1, std::memory_order_relaxed);
  }
  bool Max(int64_t V) override { return Extreme(V, true, nullptr); }
  bool Min(int64_t V) override { return Extreme(V, false, nullptr); }
  bool MaxInfo(int64_t V, const TStatVariant& AInfo) override { return Extreme(V, true, &AInfo); }
  bool MinInfo(int64_t V, const TStatVariant& AInfo) override { return Extreme(V, false, &AInfo); }
  void Val(const TStatVariant& V) override {
    std::lock_guard<std::mutex> lock(FLock);
    if (auto i = std::get_if<int64_t>(&V)) {
      SetIntLocked(*i);
    } else {
      FValue = V;
      FIsInt = false;
      if (std::holds_alternative<std::string>(V)) FStatType = stText;
    }
    FChanges.fetch_add(1, std::memory_order_relaxed);
  }
  void SetInfo(const TStatVariant& V) override {
    std::lock_guard<std::mutex> lock(FLock);
    FInfo = V;
  }
  void Snapshot(TAppStatCounterRec& ARec) override {
    std::lock_guard<std::mutex> lock(FLock);
    FLastChecked.store(GetTickCount32(), std::memory_order_relaxed);
    ARec.Name = FName;
    ARec.LastChanged = FLastChanged.load(std::memory_order_relaxed);
    ARec.Value = ValueLocked();
    ARec.Changes = FChanges.load(std::memory_order_relaxed);
    ARec.LastChecked = FLastChecked.load(std::memory_order_relaxed);
    ARec.StatType = FStatType;
    ARec.Info = FInfo;
  }
  std::string Name() override { return FName; }
  std::string GetHashValue() override { return FName; }

  // The list this counter belongs to, or nil once detached.
  TRef<TAppStatDataList> Owner() {
    std::lock_guard<std::mutex> lock(FLock);
    return FOwner;
  }
  TRef<TAppStatDataList> Unlink() {
    std::lock_guard<std::mutex> lock(FLock);
    return std::move(FOwner);
  }
  bool IsOwnedBy(const TAppStatDataList* AList) {
    std::lock_guard<std::mutex> lock(FLock);
    return FOwner.get() == AList;
  }
  int32_t DropRef() noexcept { return DecRef(); }

 private:
  void Touch() {
    FChanges.fetch_add(1, std::memory_order_relaxed);
    FLastChanged.store(GetTickCount32(), std::memory_order_relaxed);
  }
  TStatVariant ValueLocked() const { return FIsInt ? TStatVariant(FInt.load()) : FValue; }
  void SetIntLocked(int64_t V) {
    FInt.store(V);
    FIsInt = true;
    FValue = std::monostate();
  }
  void AddInt(int64_t V, bool ATouch) {
    if (FIsInt.load()) {
      FInt.fetch_add(V);
    } else {
      std::lock_guard<std::mutex> lock(FLock);
      if (FIsInt)
        FInt.fetch_add(V);
      else if (auto d = std::get_if<double>(&FValue))
        *d += double(V);
      else
        SetIntLocked(StatVariantToInt64(FValue) + V);
    }
    if (ATouch)
      Touch();
    else
      FChanges.fetch_add(1, std::memory_order_relaxed);
  }
  // Under the counter's lock: a text value written meanwhile would otherwise turn the counter
  // away from its integer while the comparison still updates it, and the new extreme is lost.
  bool Extreme(int64_t V, bool AMax, const TStatVariant* AInfo) {
    {
      std::lock_guard<std::mutex> lock(FLock);
      if (!FIsInt) SetIntLocked(StatVariantToInt64(FValue));
      int64_t cur = FInt.load();
      if (AMax ? !(V > cur) : !(V < cur)) return false;
      FInt.store(V);
      if (AInfo) FInfo = *AInfo;
    }
    Touch();
    return true;
  }

  // Constant after construction.
  const std::string FName;
  // Lock-free while the value is an integer.
  std::atomic<bool> FIsInt{true};
  std::atomic<int64_t> FInt{0};
  std::atomic<intptr_t> FChanges{0};
  std::atomic<uint32_t> FLastChanged{0};
  std::atomic<uint32_t> FLastChecked{0};
  // Guarded by FLock.
  std::mutex FLock;
  TStatVariant FValue;  // when not an integer
  TAppStatType FStatType = stCounter;
  TStatVariant FInfo;
  TRef<TAppStatDataList> FOwner;
};

class TAppStatDataIndex : public TStrIndex<TAppStatData> {
 public:
  TAppStatDataIndex() : TStrIndex<TAppStatData>(false, nullptr, "TAppStatDataIndex") {}
  std::string _Value(TAppStatData* AObject) override { return AObject->Name(); }
};

class TAppStatDataList : public TRefCntObject {
 public:
  TRef<IAppStatCounter> NewStatCounter(const std::string& AName) {
    TRef<IAppStatCounter> result;
    FAppStatData.OnValue(
        AName, [&](TAppStatData* AFound) { result = TRef<IAppStatCounter>(AFound); },
        [&]() -> TAppStatData* {
          auto* counter = new TAppStatData(AName, TRef<TAppStatDataList>(this));
          result = TRef<IAppStatCounter>::Adopt(counter);  // the creator's reference
          return counter;
        });
    return result;
  }
  // A linked counter's count drops only here, under the list's lock, so a look-up can never
  // revive a counter that is on its way out.
  int32_t ReleaseCounter(TAppStatData* ACounter) {
    Lock();
    if (!ACounter->IsOwnedBy(this)) {
      Unlock();
      int32_t n = ACounter->DropRef();
      if (n == 0) delete ACounter;
      return n;
    }
    int32_t n = ACounter->DropRef();
    TRef<TAppStatDataList> self;
    if (n == 0) {
      FAppStatData.Remove(ACounter);
      self = ACounter->Unlink();  // released after the lock
    }
    Unlock();
    if (n == 0) delete ACounter;
    return n;
  }
  std::vector<TAppStatCounterRec> CheckData() {
    std::vector<TAppStatCounterRec> result;
    Lock();
    result.resize(FAppStatData.Count());
    for (int i = 0; i < FAppStatData.Count(); ++i) FAppStatData[i]->Snapshot(result[i]);
    Unlock();
    return result;
  }
  void Lock() { FAppStatData.Lock(); }
  void Unlock() { FAppStatData.Unlock(); }
  void UnlinkAll() {
    std::vector<TRef<TAppStatDataList>> owners;
    Lock();
    for (TAppStatData* counter : FAppStatData) owners.push_back(counter->Unlink());
    FAppStatData.Clear();
    Unlock();
  }

 private:
  TAppStatDataIndex FAppStatData;
};

int32_t TAppStatData::_Release() noexcept {
  if (TRef<TAppStatDataList> owner = Owner()) return owner->ReleaseCounter(this);
  int32_t n = DecRef();
  if (n == 0) delete this;
  return n;
}

using TPersistentIndex = TStrIntfIndex<IAppStatCounter>;

class TCustomStatsRegistry : public TRefCntObject, public IStatsRegistry {
 public:
  TCustomStatsRegistry() : FAppStatDataList(MakeRef<TAppStatDataList>()) {
    FPersistent.RemoveLocking();  // guarded by the list's lock
  }
  ~TCustomStatsRegistry() override {
    FAppStatDataList->Lock();
    FPersistent.Clear();
    FAppStatDataList->Unlock();
    FAppStatDataList->UnlinkAll();
  }

  TRef<IAppStatCounter> DynCounter(const std::string& AName) override {
    return FAppStatDataList->NewStatCounter(AName);
  }
  TRef<IAppStatCounter> DynCounter(const std::string& AName, const TStatVariant& V) override {
    auto counter = DynCounter(AName);
    counter->Val(V);
    return counter;
  }
  TRef<IAppStatCounter> Counter(const std::string& AName) override {
    FAppStatDataList->Lock();
    TRef<IAppStatCounter> counter;
    try {
      if (!FPersistent.TryGetValue(AName, counter)) {
        counter = DynCounter(AName);
        FPersistent.Add(AName, counter);
      }
    } catch (...) {
      FAppStatDataList->Unlock();
      throw;
    }
    FAppStatDataList->Unlock();
    return counter;
  }
  TRef<IAppStatCounter> Counter(const std::string& AName, const TStatVariant& V) override {
    auto counter = Counter(AName);
    counter->Val(V);
    return counter;
  }
  void Delete(const std::string& AName) override {
    FAppStatDataList->Lock();
    FPersistent.Remove(AName);
    FAppStatDataList->Unlock();
  }
  std::vector<TAppStatCounterRec> GetAllData() override { return FAppStatDataList->CheckData(); }

 private:
  TRef<TAppStatDataList> FAppStatDataList;
  TPersistentIndex FPersistent;
};

std::mutex gRegistryLock;
TRef<IStatsRegistry> gRegistry;  // guarded by gRegistryLock

TRef<IStatsRegistry> Registry() {
  std::lock_guard<std::mutex> lock(gRegistryLock);
  return gRegistry;
}

TRef<IAppStatCounter> DummyCounter() {
  // Never destroyed: counters may be used while statics are torn down.
  static IAppStatCounter* dummy = new TAppStatData(kDummyCounterName, nullptr);
  return TRef<IAppStatCounter>(dummy);
}

}  // namespace

TRef<IAppStatCounter> TAppStatRegistry::DynCounter(const std::string& AName) {
  auto r = Registry();
  return r ? r->DynCounter(AName) : DummyCounter();
}
TRef<IAppStatCounter> TAppStatRegistry::DynCounter(const std::string& AName, const TStatVariant& V) {
  auto r = Registry();
  return r ? r->DynCounter(AName, V) : DummyCounter();
}
TRef<IAppStatCounter> TAppStatRegistry::Counter(const std::string& AName) {
  auto r = Registry();
  return r ? r->Counter(AName) : DummyCounter();
}
TRef<IAppStatCounter> TAppStatRegistry::Counter(const std::string& AName, const TStatVariant& V) {
  auto r = Registry();
  return r ? r->Counter(AName, V) : DummyCounter();
}
void TAppStatRegistry::Delete(const std::string& AName) {
  if (auto r = Registry()) r->Delete(AName);
}
std::vector<TAppStatCounterRec> TAppStatRegistry::CheckData() {
  auto r = Registry();
  return r ? r->GetAllData() : std::vector<TAppStatCounterRec>();
}
bool TAppStatRegistry::Available() { return static_cast<bool>(Registry()); }

bool TAppStatRegistry::IsStatClass(const std::type_info& AClass) {
  return AClass == typeid(TAppStatData) || AClass == typeid(TAppStatDataList) || AClass == typeid(TAppStatDataIndex) ||
         AClass == typeid(TCustomStatsRegistry) || AClass == typeid(TPersistentIndex) ||
         AClass == typeid(TIntfContainerObj<std::string, IAppStatCounter>);
}

void StartAppStats() {
  DummyCounter();
  auto registry = MakeRef<TCustomStatsRegistry>();
  std::lock_guard<std::mutex> lock(gRegistryLock);
  if (!gRegistry) gRegistry = registry;
}

void StopAppStats() {
  TRef<IStatsRegistry> registry;
  {
    std::lock_guard<std::mutex> lock(gRegistryLock);
    registry.Swap(gRegistry);
  }
}

}  // namespace vexor
