#pragma once
// Packets are counted through the one reference-counting root of the library (RefCounted.h):
// IInterface, TRefCntObject and the smart pointer TRef. TRefPtr is the packets' name for it.
#include "containers/RefCounted.h"

namespace vexor {

template <class T>
using TRefPtr = TRef<T>;

}  // namespace vexor
