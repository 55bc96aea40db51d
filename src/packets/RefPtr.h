#pragma once
// Intrusive reference counting for objects reached through interfaces.
// IInterface is the root of every reference-counted interface; TRefCounted is the base of the
// objects that implement them; TRefPtr<T> holds one counted reference. A new object starts with
// its creator's reference (count 1), which TRefPtr adopts. Counts change atomically, so references
// may be taken and dropped on any thread; the object itself is not made thread-safe by this.
#include <atomic>
#include <cstddef>
#include <utility>

namespace vexor {

class IPacket;

class IInterface {
 public:
  virtual void AddRef() const noexcept = 0;
  virtual void Release() const noexcept = 0;
  // Fast query for the packet behind an interface; cheaper than dynamic_cast on hot paths.
  virtual IPacket* QueryPacket() noexcept { return nullptr; }

 protected:
  virtual ~IInterface() = default;
};

class TRefCounted {
 public:
  TRefCounted() = default;
  TRefCounted(const TRefCounted&) = delete;
  TRefCounted& operator=(const TRefCounted&) = delete;

  void RefAdd() const noexcept { FRefCount.fetch_add(1, std::memory_order_relaxed); }
  void RefRelease() const noexcept {
    if (FRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  int RefCount() const noexcept { return FRefCount.load(std::memory_order_relaxed); }

 protected:
  virtual ~TRefCounted() = default;

 private:
  mutable std::atomic<int> FRefCount{1};
};

template <class T>
class TRefPtr {
 public:
  TRefPtr() noexcept = default;
  TRefPtr(std::nullptr_t) noexcept {}
  // Takes one more reference.
  TRefPtr(T* AObj) noexcept : FObj(AObj) {
    if (FObj) FObj->AddRef();
  }
  TRefPtr(const TRefPtr& AOther) noexcept : TRefPtr(AOther.FObj) {}
  TRefPtr(TRefPtr&& AOther) noexcept : FObj(std::exchange(AOther.FObj, nullptr)) {}
  template <class U>
  TRefPtr(const TRefPtr<U>& AOther) noexcept : TRefPtr(static_cast<T*>(AOther.get())) {}
  template <class U>
  TRefPtr(TRefPtr<U>&& AOther) noexcept : FObj(AOther.Detach()) {}
  ~TRefPtr() {
    if (FObj) FObj->Release();
  }

  // Takes over a reference the caller already owns (a new object's creator reference).
  static TRefPtr Adopt(T* AObj) noexcept {
    TRefPtr R;
    R.FObj = AObj;
    return R;
  }
  T* Detach() noexcept { return std::exchange(FObj, nullptr); }

  TRefPtr& operator=(TRefPtr AOther) noexcept {
    std::swap(FObj, AOther.FObj);
    return *this;
  }

  T* get() const noexcept { return FObj; }
  T* operator->() const noexcept { return FObj; }
  T& operator*() const noexcept { return *FObj; }
  explicit operator bool() const noexcept { return FObj != nullptr; }
  friend bool operator==(const TRefPtr& A, const TRefPtr& B) noexcept { return A.FObj == B.FObj; }
  friend bool operator==(const TRefPtr& A, std::nullptr_t) noexcept { return A.FObj == nullptr; }

 private:
  T* FObj = nullptr;
};

}  // namespace vexor
