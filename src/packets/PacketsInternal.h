#pragma once
// Helpers shared by the packet units; not part of the packet interface.
#include "uPackets.h"

namespace vexor {

// A kind-13 value holding a newly created packet, taking over its creator's reference.
Variant AdoptAsInterfaceValue(TPacket* ANew);
// A stored value as packets hand it out (a kind-13 packet presented as varPacket).
Variant HandOutValue(const Variant& V);

}  // namespace vexor
