#include "platform/Ticks.h"

#include <atomic>
#include <ctime>

namespace vexor {
namespace {

uint32_t MonotonicTicks() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

std::atomic<TTickSource> gTickSource{nullptr};

}  // namespace

uint32_t GetTickCount32() {
  TTickSource source = gTickSource.load(std::memory_order_acquire);
  return source ? source() : MonotonicTicks();
}

void SetTickSource(TTickSource ASource) { gTickSource.store(ASource, std::memory_order_release); }

}  // namespace vexor
