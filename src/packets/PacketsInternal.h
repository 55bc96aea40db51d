#pragma once
// Helpers shared by the packet units; not part of the packet interface.
#include "uPackets.h"

// The libraries are built position-independent but linked into programs only, so hot
// thread-local variables may live in the program's static thread-local block (one instruction
// away) instead of being looked up by a call on every use.
#define TW_PROGRAM_TLS __attribute__((tls_model("initial-exec")))

namespace vexor {

// A kind-13 value holding a newly created packet, taking over its creator's reference.
Variant AdoptAsInterfaceValue(TPacket* ANew);
// A stored value as packets hand it out (a kind-13 packet presented as varPacket).
Variant HandOutValue(const Variant& V);

}  // namespace vexor
