#pragma once
// TSharedText: an immutable text in 16 bytes. Up to 15 bytes live inside the object; a longer
// text lives in a block (the packet pool's, up to a few hundred bytes) that copies share and the
// last one frees. Packets hold their type
// names and variants their texts this way, so a property name or a short value needs no
// allocation and copying a long text costs one count.
// Guarantees: the object can be moved by copying its bytes (variants do). Distinct objects may be
// used on different threads, also when they share a block (its count is atomic).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "packets/PacketBlocks.h"

namespace vexor {

class TSharedText {
 public:
  static constexpr size_t kInline = 15;

  TSharedText() noexcept { Clear(); }
  explicit TSharedText(std::string_view A) { Assign(A); }
  TSharedText(const TSharedText& A) noexcept {
    std::memcpy(FBytes, A.FBytes, sizeof FBytes);
    if (IsLong()) Block()->Refs.fetch_add(1, std::memory_order_relaxed);
  }
  TSharedText(TSharedText&& A) noexcept {
    std::memcpy(FBytes, A.FBytes, sizeof FBytes);
    A.Clear();
  }
  TSharedText& operator=(const TSharedText& A) noexcept {
    TSharedText copy(A);
    Swap(copy);
    return *this;
  }
  TSharedText& operator=(TSharedText&& A) noexcept {
    TSharedText moved(std::move(A));
    Swap(moved);
    return *this;
  }
  ~TSharedText() {
    if (IsLong()) Release();
  }

  std::string_view View() const noexcept {
    if (IsLong()) {
      const TBlock* b = Block();
      return std::string_view(b->Data, b->Len);
    }
    return std::string_view(reinterpret_cast<const char*>(FBytes), FBytes[kInline]);
  }
  operator std::string_view() const noexcept { return View(); }
  std::string Str() const { return std::string(View()); }
  bool empty() const noexcept { return FBytes[kInline] == 0; }

  void Swap(TSharedText& A) noexcept {
    unsigned char t[sizeof FBytes];
    std::memcpy(t, FBytes, sizeof t);
    std::memcpy(FBytes, A.FBytes, sizeof t);
    std::memcpy(A.FBytes, t, sizeof t);
  }

 private:
  struct TBlock {
    std::atomic<uint32_t> Refs;
    size_t Len;
    char Data[1];
  };
  // Inline text from the first byte; the last byte tells the form: the inline length (0..15) or
  // kLong, the block pointer then in the first bytes.
  static constexpr unsigned char kLong = 0xFF;
  alignas(8) unsigned char FBytes[16];

  bool IsLong() const noexcept { return FBytes[kInline] == kLong; }
  TBlock* Block() const noexcept {
    TBlock* b;
    std::memcpy(&b, FBytes, sizeof b);
    return b;
  }
  void Clear() noexcept { std::memset(FBytes, 0, sizeof FBytes); }

  void Assign(std::string_view A) {
    if (A.size() <= kInline) {
      Clear();
      if (!A.empty()) std::memcpy(FBytes, A.data(), A.size());
      FBytes[kInline] = static_cast<unsigned char>(A.size());
      return;
    }
    auto* block = static_cast<TBlock*>(AllocatePacketBlock(offsetof(TBlock, Data) + A.size()));
    new (&block->Refs) std::atomic<uint32_t>(1);
    block->Len = A.size();
    std::memcpy(block->Data, A.data(), A.size());
    Clear();
    std::memcpy(FBytes, &block, sizeof block);
    FBytes[kInline] = kLong;
  }

  void Release() noexcept {
    TBlock* b = Block();
    if (b->Refs.fetch_sub(1, std::memory_order_acq_rel) == 1) FreePacketBlock(b, offsetof(TBlock, Data) + b->Len);
  }
};

static_assert(sizeof(TSharedText) == 16);

inline bool operator==(const TSharedText& A, std::string_view B) noexcept { return A.View() == B; }

}  // namespace vexor
