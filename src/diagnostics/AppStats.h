#pragma once
// Named statistics counters and the process-wide registry that hands them out.
// Counters may be updated from any thread: Inc, Dec and the integer Val use lock-free 64-bit
// operations while the value is an integer; Max, Min and other changes take the counter's own
// lock (a comparison must see the value a concurrent text Val leaves).
// Look-up, creation, removal and snapshots take the list's lock; a counter's lock is taken inside
// the list's lock, never the other way round. Both are leaf locks.
// A dynamic counter (DynCounter) lives while somebody holds it; a persistent one (Counter) until
// Delete or the registry's end. Before StartAppStats and after StopAppStats every request gets
// the shared "___Dummy___" counter, which belongs to no list and absorbs all updates.
#include <cstdint>
#include <string>
#include <typeinfo>
#include <variant>
#include <vector>

#include "containers/RefCounted.h"

namespace vexor {

enum TAppStatType { stCounter, stText, stTimeStamp, stTimerMs };

// A counter's value or companion value: empty, integer, floating-point or text.
using TStatVariant = std::variant<std::monostate, int64_t, double, std::string>;

// The integer reading of a value (floating-point rounded, text parsed); raises on other text.
int64_t StatVariantToInt64(const TStatVariant& AValue);

struct TAppStatCounterRec {
  std::string Name;
  uint32_t LastChanged = 0;
  TStatVariant Value = int64_t(0);
  intptr_t Changes = 0;
  uint32_t LastChecked = 0;
  TAppStatType StatType = stCounter;
  TStatVariant Info;
};

class IAppStatCounter : public virtual IInterface {
 public:
  virtual void _Inc() = 0;
  virtual void _Dec() = 0;
  virtual void Inc(int32_t V = 1) = 0;
  virtual void Dec(int32_t V = 1) = 0;
  virtual void TimeStamp() = 0;
  virtual void StartTimer() = 0;
  virtual void StopTimer() = 0;
  virtual void HighResTimeStamp() = 0;
  virtual void StartHighResTimer() = 0;
  virtual void StopHighResTimer() = 0;
  virtual int64_t IVal() = 0;
  virtual TStatVariant Val() = 0;
  virtual void Val(int64_t V) = 0;
  virtual bool Max(int64_t V) = 0;
  virtual bool Min(int64_t V) = 0;
  virtual bool MaxInfo(int64_t V, const TStatVariant& AInfo) = 0;
  virtual bool MinInfo(int64_t V, const TStatVariant& AInfo) = 0;
  virtual void Val(const TStatVariant& V) = 0;
  virtual void SetInfo(const TStatVariant& V) = 0;
  virtual void Snapshot(TAppStatCounterRec& ARec) = 0;
  virtual std::string Name() = 0;
};

class IStatsRegistry : public virtual IInterface {
 public:
  virtual TRef<IAppStatCounter> DynCounter(const std::string& AName) = 0;
  virtual TRef<IAppStatCounter> DynCounter(const std::string& AName, const TStatVariant& V) = 0;
  virtual TRef<IAppStatCounter> Counter(const std::string& AName) = 0;
  virtual TRef<IAppStatCounter> Counter(const std::string& AName, const TStatVariant& V) = 0;
  virtual void Delete(const std::string& AName) = 0;
  virtual std::vector<TAppStatCounterRec> GetAllData() = 0;
};

// Facade over the process-wide registry; callable from any thread at any time.
class TAppStatRegistry {
 public:
  static TRef<IAppStatCounter> DynCounter(const std::string& AName);
  static TRef<IAppStatCounter> DynCounter(const std::string& AName, const TStatVariant& V);
  static TRef<IAppStatCounter> Counter(const std::string& AName);
  static TRef<IAppStatCounter> Counter(const std::string& AName, const TStatVariant& V);
  static void Delete(const std::string& AName);
  // Snapshots of every counter, in name order; empty without a registry.
  static std::vector<TAppStatCounterRec> CheckData();
  static bool Available();
  static bool IsStatClass(const std::type_info& AClass);
};

// The registry's own name for the shared dummy counter.
inline constexpr const char* kDummyCounterName = "___Dummy___";

// Start-up creates the dummy counter and the registry; shut-down detaches every counter (those
// still held stay usable) and drops the registry. Main thread, in the service order.
void StartAppStats();
void StopAppStats();

}  // namespace vexor
