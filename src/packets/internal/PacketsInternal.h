#pragma once
// Helpers shared by the packet units; not part of the packet interface.
#include <cstring>
#include <string>

#include "packets/Packets.h"

// The libraries are built position-independent but linked into programs only, so hot
// thread-local variables may live in the program's static thread-local block (one instruction
// away) instead of being looked up by a call on every use.
#define TW_PROGRAM_TLS __attribute__((tls_model("initial-exec")))

namespace vexor {

// A kind-13 value holding a newly created packet, taking over its creator's reference.
Variant AdoptAsInterfaceValue(TPacket* ANew);
// A stored value as packets hand it out (a kind-13 packet presented as varPacket).
Variant HandOutValue(const Variant& V);

// Runs AWrite (a text writer, which resets the cursors of the packets it visits) and puts
// AData's cursor back where it was, also when writing fails.
template <class F>
std::string KeepingCursor(const IPacketPtr& AData, F&& AWrite) {
  if (!AData) return AWrite();
  const int32_t pos = AData->Pos();
  try {
    std::string s = AWrite();
    AData->SetPos(pos);
    return s;
  } catch (...) {
    AData->SetPos(pos);
    throw;
  }
}

// A text handed out by a writer that sized it by an earlier, larger text: the spare room goes
// back when it is more than the text itself (and 4 KiB), so a short text kept by the caller does
// not hold the large one's capacity.
inline void ReleaseSpareRoom(std::string& AText) {
  if (AText.capacity() - AText.size() > AText.size() + 4096) AText.shrink_to_fit();
}

// Copies a run of plain bytes; short runs (most names and values) without a library call.
inline char* CopyRun(char* AOut, const char* AFrom, size_t ACount) {
  if (ACount >= 16) {
    std::memcpy(AOut, AFrom, ACount);
  } else if (ACount >= 8) {
    std::memcpy(AOut, AFrom, 8);
    std::memcpy(AOut + ACount - 8, AFrom + ACount - 8, 8);
  } else if (ACount >= 4) {
    std::memcpy(AOut, AFrom, 4);
    std::memcpy(AOut + ACount - 4, AFrom + ACount - 4, 4);
  } else {
    for (size_t i = 0; i < ACount; ++i) AOut[i] = AFrom[i];
  }
  return AOut + ACount;
}

}  // namespace vexor
