#pragma once
// TPacketValues: the values list of one packet. A contiguous list of variants with the vector
// operations packets use; the first value lives inside the list itself, so a packet holding one
// value (most properties) needs no separate allocation. Not synchronized: one thread at a time,
// as for the packet that owns it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <type_traits>
#include <utility>

#include "packets/PacketBlocks.h"
#include "packets/Variant.h"

namespace vexor {

class TPacketValues {
 public:
  using value_type = Variant;
  using size_type = size_t;
  using difference_type = ptrdiff_t;
  using reference = Variant&;
  using const_reference = const Variant&;
  using pointer = Variant*;
  using const_pointer = const Variant*;
  using iterator = Variant*;
  using const_iterator = const Variant*;

  TPacketValues() noexcept = default;
  TPacketValues(const TPacketValues& A) { AppendCopies(A.begin(), A.end()); }
  TPacketValues(TPacketValues&& A) noexcept { TakeFrom(A); }
  // Takes over the elements of a plain list.
  explicit TPacketValues(TVariantArray&& A) {
    reserve(A.size());
    for (Variant& v : A) new (Items() + FSize++) Variant(std::move(v));
  }
  TPacketValues& operator=(const TPacketValues& A) {
    if (this != &A) {
      TPacketValues tmp(A);
      *this = std::move(tmp);
    }
    return *this;
  }
  TPacketValues& operator=(TPacketValues&& A) noexcept {
    if (this != &A) {
      Release();
      TakeFrom(A);
    }
    return *this;
  }
  ~TPacketValues() { Release(); }

  size_t size() const noexcept { return FSize; }
  bool empty() const noexcept { return FSize == 0; }
  size_t capacity() const noexcept { return FCap; }
  Variant* data() noexcept { return Items(); }
  const Variant* data() const noexcept { return Items(); }
  iterator begin() noexcept { return Items(); }
  iterator end() noexcept { return Items() + FSize; }
  const_iterator begin() const noexcept { return Items(); }
  const_iterator end() const noexcept { return Items() + FSize; }
  Variant& operator[](size_t I) noexcept { return Items()[I]; }
  const Variant& operator[](size_t I) const noexcept { return Items()[I]; }
  Variant& front() noexcept { return Items()[0]; }
  Variant& back() noexcept { return Items()[FSize - 1]; }
  const Variant& front() const noexcept { return Items()[0]; }
  const Variant& back() const noexcept { return Items()[FSize - 1]; }

  void reserve(size_t N) {
    if (N > FCap) Grow(N);
  }

  void clear() noexcept {
    // Releasing child packets walks memory the list does not own, and each child's subtree is
    // walked before the next child: asking for the child a few places ahead while one is
    // released overlaps the cache misses instead of taking them one after another.
    constexpr uint32_t kAhead = 6;
    Variant* items = Items();
    const uint32_t n = FSize;
    if (n > 1)
      for (uint32_t i = 0; i < n && i < kAhead; ++i) PrefetchObject(items[i].ObjectRef());
    for (uint32_t i = 0; i < n; ++i) {
      if (i + kAhead < n) PrefetchObject(items[i + kAhead].ObjectRef());
      items[i].~Variant();
    }
    FSize = 0;
  }

  // Hints the cache about the object behind an interface pointer (a packet is about 100 bytes
  // from its interface root on); no effect for null.
  static void PrefetchObject(const void* AIntf) noexcept {
    if (!AIntf) return;
    const char* c = static_cast<const char*>(AIntf);
    __builtin_prefetch(c);
    __builtin_prefetch(c + 64);
  }

  void push_back(const Variant& V) {
    if (FSize == FCap) {
      Variant keep(V);  // V may be one of this list's own values
      Grow(NextCapacity());
      new (Items() + FSize) Variant(std::move(keep));
    } else {
      new (Items() + FSize) Variant(V);
    }
    ++FSize;
  }
  void push_back(Variant&& V) { emplace_back(std::move(V)); }

  template <class... A>
  Variant& emplace_back(A&&... AArgs) {
    if (FSize == FCap) {
      Variant keep(std::forward<A>(AArgs)...);
      Grow(NextCapacity());
      new (Items() + FSize) Variant(std::move(keep));
    } else {
      new (Items() + FSize) Variant(std::forward<A>(AArgs)...);
    }
    return Items()[FSize++];
  }

  void pop_back() noexcept { Items()[--FSize].~Variant(); }

  iterator erase(const_iterator APos) noexcept { return erase(APos, APos + 1); }
  iterator erase(const_iterator AFirst, const_iterator ALast) noexcept {
    Variant* first = Items() + (AFirst - Items());
    const size_t n = static_cast<size_t>(ALast - AFirst);
    if (n == 0) return first;
    Variant* out = first;
    for (Variant* in = first + n; in != end(); ++in, ++out) *out = std::move(*in);
    while (end() != out) pop_back();
    return first;
  }

  // Inserts copies (or moved values, through move iterators) of [AFirst, ALast) before APos.
  template <class It>
  iterator insert(const_iterator APos, It AFirst, It ALast) {
    const size_t at = static_cast<size_t>(APos - Items());
    TPacketValues tail;
    tail.reserve(FSize - at);
    for (size_t i = at; i < FSize; ++i) new (tail.Items() + tail.FSize++) Variant(std::move(Items()[i]));
    while (FSize > at) pop_back();
    for (; AFirst != ALast; ++AFirst) emplace_back(*AFirst);
    reserve(FSize + tail.FSize);
    for (Variant& v : tail) new (Items() + FSize++) Variant(std::move(v));
    return Items() + at;
  }
  iterator insert(const_iterator APos, const Variant& V) {
    Variant keep(V);  // V may be one of this list's own values
    return insert(APos, std::make_move_iterator(&keep), std::make_move_iterator(&keep + 1));
  }

  template <class It>
  void assign(It AFirst, It ALast) {
    TPacketValues tmp;
    tmp.AppendCopies(AFirst, ALast);
    *this = std::move(tmp);
  }

  // A plain copy of the values.
  TVariantArray ToArray() const { return TVariantArray(begin(), end()); }

 private:
  // One value lives in FStore itself (FCap == 1); more live on the heap, FStore then holding
  // the pointer to them.
  uint32_t FSize = 0;
  uint32_t FCap = 1;
  alignas(Variant) unsigned char FStore[sizeof(Variant)];

  bool IsInline() const noexcept { return FCap == 1; }
  Variant* InlineItems() noexcept { return reinterpret_cast<Variant*>(FStore); }
  Variant* HeapItems() const noexcept {
    Variant* items;
    std::memcpy(&items, FStore, sizeof items);
    return items;
  }
  void SetHeapItems(Variant* AItems) noexcept { std::memcpy(FStore, &AItems, sizeof AItems); }
  Variant* Items() noexcept { return IsInline() ? InlineItems() : HeapItems(); }
  const Variant* Items() const noexcept { return IsInline() ? reinterpret_cast<const Variant*>(FStore) : HeapItems(); }
  size_t NextCapacity() const noexcept { return FCap < 4 ? 4 : static_cast<size_t>(FCap) * 2; }

  template <class It>
  void AppendCopies(It AFirst, It ALast) {
    if constexpr (std::is_base_of_v<std::random_access_iterator_tag,
                                    typename std::iterator_traits<It>::iterator_category>)
      reserve(FSize + static_cast<size_t>(ALast - AFirst));
    for (; AFirst != ALast; ++AFirst) emplace_back(*AFirst);
  }

  // Short lists come from the packet pool, next to the packets.
  static Variant* AllocateItems(size_t ACap) {
    return static_cast<Variant*>(AllocatePacketBlock(ACap * sizeof(Variant)));
  }
  static void FreeItems(Variant* AItems, size_t ACap) noexcept { FreePacketBlock(AItems, ACap * sizeof(Variant)); }

  void Grow(size_t N) {
    Variant* items = AllocateItems(N);
    Variant* old = Items();
    for (uint32_t i = 0; i < FSize; ++i) {
      new (items + i) Variant(std::move(old[i]));
      old[i].~Variant();
    }
    if (!IsInline()) FreeItems(old, FCap);
    SetHeapItems(items);
    FCap = static_cast<uint32_t>(N);
  }

  void Release() noexcept {
    clear();
    if (!IsInline()) FreeItems(HeapItems(), FCap);
    FCap = 1;
  }

  // Takes A's values, leaving A empty; A's own store is taken over when it is on the heap.
  void TakeFrom(TPacketValues& A) noexcept {
    FCap = 1;
    FSize = 0;
    if (A.IsInline()) {
      if (A.FSize) {
        new (InlineItems()) Variant(std::move(A.InlineItems()[0]));
        A.InlineItems()[0].~Variant();
        FSize = 1;
        A.FSize = 0;
      }
      return;
    }
    SetHeapItems(A.HeapItems());
    FSize = std::exchange(A.FSize, 0);
    FCap = std::exchange(A.FCap, 1);
  }
};

}  // namespace vexor
