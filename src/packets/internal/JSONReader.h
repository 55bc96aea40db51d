#pragma once
// The JSON reader's parts: this thread's parser over a padded copy of the text, the widening of
// whole numbers beyond 64 bits, and the packet a parsed document stands for. Every function may
// run on any thread at the same time; a parsed document lives until the thread parses again.
#include <simdjson.h>

#include <string>
#include <string_view>

#include "packets/Packets.h"

namespace vexor {

// Parses AText with this thread's parser (the text is copied into padded room first).
simdjson::simdjson_result<simdjson::dom::element> ParsePadded(std::string_view AText);
// The text with each whole number beyond 64 bits (outside strings) given a fraction, so that the
// parser reads it as a double; false when there was none.
bool WidenBigIntegers(std::string_view AText, std::string& AOut);
// Held while a document read with ParsePadded is in use: at its end, the thread's parser and
// copy are given back when they grew beyond the size worth keeping for the next text.
struct TReaderRelease {
  TReaderRelease() = default;
  TReaderRelease(const TReaderRelease&) = delete;
  TReaderRelease& operator=(const TReaderRelease&) = delete;
  ~TReaderRelease();
};
// The packet a parsed document stands for: an object or an array; none for a top scalar or null.
IPacketPtr PacketFromJSONRoot(const simdjson::dom::element& ARoot);

}  // namespace vexor
