#pragma once
// IFormattedPacket: a packet with a presentation of its own. Nothing in the library implements it;
// the page bridge converts values that offer it through its two views: the packet (JSON text) and
// its named values (a JavaScript object). An implementation states its own threading rules.
#include <string>
#include <utility>
#include <vector>

#include "packets/Packets.h"

namespace vexor {

inline constexpr const char* IID_IFormattedPacket = "{82240E03-A7DF-4356-B4ED-01A3476537E9}";

class IFormattedPacket : public virtual IInterface {
 public:
  virtual IPacketPtr GetPacket() = 0;
  // Name and value of every named value, in order.
  virtual std::vector<std::pair<std::string, Variant>> NamedValues() = 0;
};
using IFormattedPacketPtr = TRef<IFormattedPacket>;

}  // namespace vexor
