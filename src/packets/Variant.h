#pragma once
// Variant: one value of any packet kind (a kind code and its payload), with the ordinary
// conversions between kinds, in 24 bytes. A value type: texts and arrays are immutable once made,
// so copies share them (a text of up to 15 bytes lives inside the value itself); copying an
// object kind (13, 0x120, custom) shares the object by one more reference. Instances are not
// synchronized; distinct instances may be used on different threads, also when they share a
// text, an array or an object.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DateTime.h"
#include "platform/Exceptions.h"
#include "packets/PacketBlocks.h"
#include "packets/RefPtr.h"
#include "packets/SharedText.h"

namespace vexor {

using TVarType = uint16_t;

constexpr TVarType varEmpty = 0x0000;
constexpr TVarType varNull = 0x0001;
constexpr TVarType varSmallint = 0x0002;
constexpr TVarType varInteger = 0x0003;
constexpr TVarType varSingle = 0x0004;
constexpr TVarType varDouble = 0x0005;
constexpr TVarType varCurrency = 0x0006;
constexpr TVarType varDate = 0x0007;
constexpr TVarType varOleStr = 0x0008;
constexpr TVarType varBoolean = 0x000B;
constexpr TVarType varVariant = 0x000C;
constexpr TVarType varUnknown = 0x000D;
constexpr TVarType varShortInt = 0x0010;
constexpr TVarType varByte = 0x0011;
constexpr TVarType varWord = 0x0012;
constexpr TVarType varLongWord = 0x0013;
constexpr TVarType varInt64 = 0x0014;
constexpr TVarType varUInt64 = 0x0015;
constexpr TVarType varString = 0x0100;
constexpr TVarType varUString = 0x0102;
constexpr TVarType varPacket = 0x0120;
constexpr TVarType varArray = 0x2000;
constexpr TVarType varTypeMask = 0x0FFF;

class Variant;
class IPacket;
// A value outside the target kind's range; a conversion error of its own kind so that callers
// tell it from "Could not convert" by type.
class EVariantOverflowError : public Exception {
 public:
  using Exception::Exception;
};
// Lists of values; short ones live in the packet pool's blocks.
using TVariantArray = std::vector<Variant, TPacketBlockAllocator<Variant>>;
using TBytes = std::vector<uint8_t>;

class Variant {
 public:
  Variant() noexcept { FData.I64 = 0; }
  Variant(const Variant& A);
  Variant(Variant&& A) noexcept {
    // Scalars, texts and object references move with their bits, inline; arrays out of line.
    if (A.FStore != stArray) {
      FKind = A.FKind;
      FStore = A.FStore;
      std::memcpy(static_cast<void*>(&FData), &A.FData, sizeof FData);
      A.FKind = varEmpty;
      A.FStore = stTrivial;
      A.FData.I64 = 0;
    } else {
      MoveFrom(A);
    }
  }
  Variant& operator=(const Variant& A);
  Variant& operator=(Variant&& A) noexcept;
  ~Variant() {
    if (FStore != stTrivial) ClearStored();
  }

  // Each C++ scalar type maps to exactly one kind.
  Variant(bool A) noexcept : FKind(varBoolean) {
    FData.I64 = 0;
    FData.Bool = A;
  }
  Variant(signed char A) noexcept : FKind(varShortInt) { FData.I64 = A; }
  Variant(unsigned char A) noexcept : FKind(varByte) { FData.I64 = A; }
  Variant(short A) noexcept : FKind(varSmallint) { FData.I64 = A; }
  Variant(unsigned short A) noexcept : FKind(varWord) { FData.I64 = A; }
  Variant(int A) noexcept : FKind(varInteger) { FData.I64 = A; }
  Variant(unsigned A) noexcept : FKind(varLongWord) { FData.I64 = A; }
  Variant(long A) noexcept : FKind(varInt64) { FData.I64 = A; }
  Variant(long long A) noexcept : FKind(varInt64) { FData.I64 = A; }
  Variant(unsigned long A) noexcept : FKind(varUInt64) { FData.U64 = A; }
  Variant(unsigned long long A) noexcept : FKind(varUInt64) { FData.U64 = A; }
  Variant(float A) noexcept : FKind(varSingle) {
    FData.I64 = 0;
    FData.Sgl = A;
  }
  Variant(double A) noexcept : FKind(varDouble) { FData.Dbl = A; }
  Variant(const char* A) : Variant(std::string_view(A)) {}
  Variant(std::string_view A) : FKind(varUString), FStore(stString) { new (&FData.Text) TSharedText(A); }
  Variant(const std::string& A) : Variant(std::string_view(A)) {}
  // A packet reference gives a varPacket value (a null reference included).
  Variant(const TRefPtr<IPacket>& APacket);

  static Variant Null() noexcept {
    Variant v;
    v.FKind = varNull;
    return v;
  }
  static Variant Date(TDateTime A) noexcept {
    Variant v(A);
    v.FKind = varDate;
    return v;
  }
  // Currency from its fixed-point form (value * 10000).
  static Variant CurrencyScaled(int64_t AScaled) noexcept;
  static Variant FromCurrency(double A);
  // A text of a chosen string kind (varOleStr, varString or varUString).
  static Variant Str(TVarType AKind, std::string A);
  // An object reference of kind 13 (varUnknown) or any object kind (varPacket, custom kinds).
  static Variant Object(TVarType AKind, const TRefPtr<IInterface>& AObj);
  // The same for a packet; AAdopt takes over a reference the caller owns instead of adding one.
  // (Defined with the packet interface, in Packets.h.)
  static inline Variant PacketObject(TVarType AKind, IPacket* APacket, bool AAdopt = false);
  // The same, taking over the caller's reference, made where it is to live (lists emplace it).
  struct TAdoptedPacket {
    TVarType Kind;
    IPacket* Packet;
  };
  inline explicit Variant(TAdoptedPacket A) noexcept;
  // A one-dimensional array; the elements are converted to AElemKind unless it is varVariant.
  static Variant Array(TVarType AElemKind, TVariantArray AItems);
  static Variant ByteArray(std::string_view ABytes);
  static Variant ByteArray(const TBytes& ABytes);

  TVarType Kind() const noexcept { return FKind; }
  bool IsEmpty() const noexcept { return FKind == varEmpty; }
  bool IsNull() const noexcept { return FKind == varNull; }
  bool IsEmptyOrNull() const noexcept { return FKind <= varNull; }
  bool IsString() const noexcept { return FStore == stString; }
  bool IsObject() const noexcept { return FStore == stObject; }
  bool IsArray() const noexcept { return FStore == stArray; }
  bool IsNumeric() const noexcept;  // integer, float, currency kinds (not date, not boolean)
  bool IsOrdinal() const noexcept;  // integer kinds

  void Clear() noexcept {
    if (FStore != stTrivial) ClearStored();
    FKind = varEmpty;
    FStore = stTrivial;
    FData.I64 = 0;
  }

  // Raw payload access; valid only for the matching kind.
  std::string_view StrRef() const noexcept { return FData.Text.View(); }
  IInterface* ObjectRef() const noexcept { return FStore == stObject ? FData.Obj.Intf : nullptr; }
  // The packet behind an object value, found once when the value was made (null when the
  // object is no packet or the reference is null).
  IPacket* PacketRef() const noexcept { return FStore == stObject ? FData.Obj.Pkt : nullptr; }
  int64_t RawInt64() const noexcept { return FData.I64; }
  uint64_t RawUInt64() const noexcept { return FData.U64; }
  double RawDouble() const noexcept { return FData.Dbl; }
  float RawSingle() const noexcept { return FData.Sgl; }
  bool RawBoolean() const noexcept { return FData.Bool; }

  // Arrays.
  TVarType ElementKind() const noexcept { return FKind & varTypeMask; }
  size_t ArrayCount() const noexcept;
  Variant ArrayItem(size_t AIndex) const;
  // Elements of an array as a list of values (byte arrays give byte values).
  TVariantArray ArrayItems() const;
  // The element store of a non-byte array, shared.
  const TVariantArray& ArrayRef() const noexcept;
  // Bytes of a byte array (0x2011).
  std::string_view BytesRef() const noexcept;

  // Strict conversions. A null value, text that is no number, an array or an object that is no
  // packet raise "Could not convert variant of type (%s) into type (%s)"; values out of the
  // target's range raise "Overflow while converting variant of type (%s) into type (%s)".
  int32_t AsInt32() const;
  int64_t AsInt64() const;
  uint64_t AsUInt64() const;
  double AsDouble() const;
  TDateTime AsDateTime() const;
  bool AsBoolean() const;
  std::string AsString() const;
  // Currency as its fixed-point form (value * 10000).
  int64_t AsCurrencyScaled() const;
  // A copy converted to another kind (string kinds, numbers, booleans, dates, varPacket).
  Variant ChangeType(TVarType AKind) const;

  // Same kind and equal payload (packets compare by their text).
  bool SameValue(const Variant& A) const;

  static std::string KindName(TVarType AKind);
  // The kind code as error texts write it: "$", then upper-case hexadecimal ("$D", "$200D").
  static std::string KindCode(TVarType AKind);

 private:
  enum : uint8_t { stTrivial, stString, stObject, stArray };
  struct TArrayData;
  static std::shared_ptr<TArrayData> NewArrayData();
  TVarType FKind = varEmpty;
  uint8_t FStore = stTrivial;
  union Data {
    int64_t I64;
    uint64_t U64;
    double Dbl;
    float Sgl;
    bool Bool;
    struct {
      IInterface* Intf;
      IPacket* Pkt;  // the same object seen as a packet, or null
    } Obj;
    TSharedText Text;
    std::shared_ptr<const TArrayData> Arr;
    Data() noexcept {}
    ~Data() {}
  } FData;

  void CopyFrom(const Variant& A);
  // AsInt64 with its errors naming ATo as the target kind.
  int64_t ToInt64For(TVarType ATo) const;
  void MoveFrom(Variant& A) noexcept;
  // Destroys a string, array or object payload (leaves the fields as they were).
  void ClearStored() noexcept;
  [[noreturn]] void CastError(TVarType ATo) const;
  [[noreturn]] void OverflowError(TVarType ATo) const;
  friend struct TVariantAccess;
};

// The shared number and date texts of the variant conversions, reused by the text encoders.
// FormatFloatG: 15 significant digits, "." separator, trailing zeros removed, fixed notation from
// 0.00001 up to 15 integer digits, otherwise mantissa "E" exponent (1E20, 1.5E-7).
void AppendFloatG(std::string& ADest, double AValue);
// The same text written at AOut (room for kFloatGMaxLength bytes); returns the end.
inline constexpr size_t kFloatGMaxLength = 32;
char* FormatFloatGTo(char* AOut, double AValue);
std::string FormatFloatG(double AValue);
// Parses a whole decimal text as int64 (false on overflow or any other character).
bool TryParseInt64(std::string_view AText, int64_t& AValue);
bool TryParseDouble(std::string_view AText, double& AValue);

}  // namespace vexor
