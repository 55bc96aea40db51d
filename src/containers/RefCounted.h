#pragma once
// Intrusive reference counting: the interface root, the reference-counted object base and the one
// smart pointer that holds such objects.
// A TRefCntObject starts with a count of 1, the creator's reference; MakeRef/TRef::Adopt take that
// reference over. Counting is atomic, so references may be copied and dropped on any thread; the
// object is destroyed on the thread that drops the last reference.
// Interfaces derive virtually from IInterface so that one object implementing several of them
// still has one count.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace vexor {

class IInterface {
 public:
  virtual int32_t _AddRef() noexcept = 0;
  virtual int32_t _Release() noexcept = 0;
  virtual int32_t RefCount() const noexcept = 0;

 protected:
  virtual ~IInterface() = default;
};

// Marks objects whose lifetime is governed by their own count.
class IRefCnt : public virtual IInterface {
 public:
  // Drops one reference (the creator's, typically); same as _Release.
  virtual void ReleaseRef() noexcept = 0;
};

class TRefCntObject : public virtual IRefCnt {
 public:
  TRefCntObject() = default;
  TRefCntObject(const TRefCntObject&) = delete;
  TRefCntObject& operator=(const TRefCntObject&) = delete;
  ~TRefCntObject() override = default;

  int32_t _AddRef() noexcept override { return FRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }
  int32_t _Release() noexcept override {
    int32_t n = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) delete this;
    return n;
  }
  int32_t RefCount() const noexcept override { return FRefCount.load(std::memory_order_acquire); }
  void ReleaseRef() noexcept override { _Release(); }

  // Takes a reference only while the object is still alive (count above 0); lets holders of a
  // plain back-pointer obtain a counted reference without racing the last release.
  bool TryAddRef() noexcept {
    int32_t n = FRefCount.load(std::memory_order_relaxed);
    while (n > 0)
      if (FRefCount.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) return true;
    return false;
  }

 protected:
  // Decrements without destroying; for subclasses that decide themselves when to go.
  int32_t DecRef() noexcept { return FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1; }

 private:
  std::atomic<int32_t> FRefCount{1};
};

// Holds one counted reference to T (an interface or a class with _AddRef/_Release).
template <class T>
class TRef {
 public:
  TRef() noexcept = default;
  TRef(std::nullptr_t) noexcept {}
  // Shares: adds a reference of its own.
  explicit TRef(T* APtr) noexcept : FPtr(APtr) {
    if (FPtr) FPtr->_AddRef();
  }
  TRef(const TRef& AOther) noexcept : TRef(AOther.FPtr) {}
  TRef(TRef&& AOther) noexcept : FPtr(std::exchange(AOther.FPtr, nullptr)) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  TRef(const TRef<U>& AOther) noexcept : TRef(static_cast<T*>(AOther.get())) {}
  template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  TRef(TRef<U>&& AOther) noexcept : FPtr(AOther.Detach()) {}
  ~TRef() {
    if (FPtr) FPtr->_Release();
  }

  // Takes over a reference the caller already owns (the creator's, for a new object).
  static TRef Adopt(T* APtr) noexcept {
    TRef r;
    r.FPtr = APtr;
    return r;
  }

  TRef& operator=(const TRef& AOther) noexcept {
    TRef(AOther).Swap(*this);
    return *this;
  }
  TRef& operator=(TRef&& AOther) noexcept {
    TRef(std::move(AOther)).Swap(*this);
    return *this;
  }
  TRef& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  T* get() const noexcept { return FPtr; }
  T* operator->() const noexcept { return FPtr; }
  T& operator*() const noexcept { return *FPtr; }
  explicit operator bool() const noexcept { return FPtr != nullptr; }

  void Reset() noexcept { TRef().Swap(*this); }
  // Gives up the reference without releasing it.
  T* Detach() noexcept { return std::exchange(FPtr, nullptr); }
  void Swap(TRef& AOther) noexcept { std::swap(FPtr, AOther.FPtr); }

  friend bool operator==(const TRef& A, const TRef& B) noexcept { return A.FPtr == B.FPtr; }
  friend bool operator==(const TRef& A, std::nullptr_t) noexcept { return A.FPtr == nullptr; }

 private:
  T* FPtr = nullptr;
};

template <class T, class... A>
TRef<T> MakeRef(A&&... AArgs) {
  return TRef<T>::Adopt(new T(std::forward<A>(AArgs)...));
}

// Interface query: the same object seen through another interface, or nil.
template <class U, class T>
TRef<U> RefCast(const TRef<T>& ARef) {
  return TRef<U>(dynamic_cast<U*>(ARef.get()));
}

}  // namespace vexor
