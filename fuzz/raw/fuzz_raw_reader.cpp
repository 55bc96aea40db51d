// The raw packet reader on arbitrary bytes (plain, or as the block of a compressed channel): it
// either fails with one of its messages or gives a packet whose encoding reads back to a packet
// with the very same encoding.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "packets/raw/RawPacket.h"

using namespace vexor;

namespace {

#if defined(RAW_FUZZ_FORM_zlib)
const std::optional<TDataCompressionType> kForm = dcZLib;
#elif defined(RAW_FUZZ_FORM_snappy)
const std::optional<TDataCompressionType> kForm = dcSnappy;
#else
const std::optional<TDataCompressionType> kForm;
#endif

bool Expected(std::string_view AMessage) {
  static const char* kMessages[] = {
      "Error Reading Packet Data",
      "Packet data nested deeper than 1024 levels",
      "Overflow while converting variant of type (Double) into type (Currency)",
      "Error getting compressed length",
      "Error decompressing data",
  };
  for (const char* m : kMessages)
    if (AMessage == m) return true;
  return AMessage.starts_with("Compressed block states an implausible size (");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
  std::string_view bytes(reinterpret_cast<const char*>(AData), ASize);
  IPacketPtr p;
  try {
    p = PacketFromRawBytes(bytes, kForm);
  } catch (const Exception& e) {
    if (!Expected(e.what())) std::abort();
    return 0;
  }
  if (!p) return 0;
  std::string once = PacketToRawBytes(p, kForm);
  IPacketPtr again = PacketFromRawBytes(once, kForm);
  if (!again || PacketToRawBytes(again, kForm) != once) std::abort();
  return 0;
}
