#pragma once
// MIME packets: an ordinary packet typed "mime" that carries a payload with its content type, an
// optional file name, flags and a time stamp, so that host code can hand content through any
// channel that carries packets (an API result served with its own content type, or as a download
// when it names a file). TMimePacket is a view: it keeps no state of its own, every operation
// reads or writes the properties of the packet it views.
// Also here: the table that maps file names to content types.
// Threads: a view follows its packet's rule (one thread at a time); the table lookup is pure and
// may be called from any thread.
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "packets/Packets.h"

namespace vexor {

enum TMimePacketFlag : uint8_t { mpfCacheable, mpfGlobalCache };
// A set of TMimePacketFlag: bit (1 << flag).
using TMimePacketFlags = uint8_t;
constexpr TMimePacketFlags MimeFlag(TMimePacketFlag AFlag) { return static_cast<TMimePacketFlags>(1u << AFlag); }

inline constexpr const char* IID_IMIMEPacket = "{2AB37273-E298-4095-AC39-8D8FA4CBA0C2}";

class IMIMEPacket : public virtual IInterface {
 public:
  // "data" := a new untyped packet holding the stream's bytes from its current position to its end.
  virtual void LoadFromStream(std::istream& AStream) = 0;
  // Writes "data": a byte array as its bytes, text as its UTF-8 bytes; anything else (missing, a
  // number, the packet LoadFromStream leaves) raises "Invalid MIME Packet format.".
  virtual void SaveToStream(std::ostream& AStream) = 0;
  virtual Variant GetData() = 0;
  virtual void SetData(const Variant& Value) = 0;
  // The packet viewed (the same object, not a copy).
  virtual IPacketPtr AsPacket() = 0;
  virtual std::string GetMimeType() = 0;
  virtual std::string GetFileName() = 0;
  virtual TMimePacketFlags GetFlags() = 0;
  virtual Variant GetTimestamp() = 0;
  virtual void SetTimestamp(const Variant& Value) = 0;
};
using IMIMEPacketPtr = TRef<IMIMEPacket>;

class TMimePacket : public TRefCntObject, public IMIMEPacket {
 public:
  explicit TMimePacket(IPacketPtr AData) : FData(std::move(AData)) {}

  // A new "mime" packet with "type", "filename" and "flags" set.
  static IMIMEPacketPtr Create(const std::string& AMimeType, const std::string& AFileName, TMimePacketFlags AFlags);
  static IMIMEPacketPtr Create(const std::string& AMimeType, TMimePacketFlags AFlags) {
    return Create(AMimeType, std::string(), AFlags);
  }
  // True when APacket exists and is typed "mime" in any letter case.
  static bool IsMimePacket(const IPacketPtr& APacket);
  // A view over APacket itself; raises "Invalid source packet" when it is no MIME packet.
  static IMIMEPacketPtr AsMimePacket(const IPacketPtr& APacket);
  // A new MIME packet holding Data; returns the packet.
  static IPacketPtr WrapData(const std::string& AMimeType, const std::string& AFileName, const Variant& Data,
                             TMimePacketFlags AFlags);
  // The same with a copy of ASize bytes at AData as a byte array.
  static IPacketPtr WrapData(const std::string& AMimeType, const std::string& AFileName, const void* AData,
                             size_t ASize, TMimePacketFlags AFlags);
  // The content type for a file name ("" when the table has none).
  static std::string GetMimeTypeFromFileName(std::string_view AFileName);

  // The flags as text ("mpfCacheable,mpfGlobalCache"; "" for none) and back (unknown names ignored).
  static std::string FlagsToText(TMimePacketFlags AFlags);
  static TMimePacketFlags FlagsFromText(std::string_view AText);

  // IMIMEPacket
  void LoadFromStream(std::istream& AStream) override;
  void SaveToStream(std::ostream& AStream) override;
  Variant GetData() override;
  void SetData(const Variant& Value) override;
  IPacketPtr AsPacket() override { return FData; }
  std::string GetMimeType() override;
  std::string GetFileName() override;
  TMimePacketFlags GetFlags() override;
  Variant GetTimestamp() override;
  void SetTimestamp(const Variant& Value) override;

 private:
  // Constant after construction; the packet follows the packets' one-thread-at-a-time rule.
  const IPacketPtr FData;
};

}  // namespace vexor
