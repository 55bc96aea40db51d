#pragma once
// The 32-bit millisecond tick counter and its one wrap-safe arithmetic.
// GetTickCount32 may be called from any thread. The source is process-wide and may be replaced
// (tests do so to cross the wrap); replace it only while no other thread reads ticks.
#include <cstdint>

namespace vexor {

using TTickSource = uint32_t (*)();

// Milliseconds from CLOCK_MONOTONIC, truncated to 32 bits (wraps after about 49.7 days).
uint32_t GetTickCount32();

// Installs another tick source; nullptr restores the monotonic clock.
void SetTickSource(TTickSource ASource);

// Milliseconds from AStart to ANow, counted across a wrap of the counter.
constexpr uint32_t TickDiff(uint32_t AStart, uint32_t ANow) { return ANow - AStart; }

// Milliseconds since AStart on the current counter.
inline uint32_t TicksSince(uint32_t AStart) { return TickDiff(AStart, GetTickCount32()); }

// True when at least AIntervalMs milliseconds have passed since AStartTick.
inline bool TickElapsed(uint32_t AStartTick, uint32_t AIntervalMs) { return TicksSince(AStartTick) >= AIntervalMs; }

}  // namespace vexor
