#pragma once
// Reading and writing the raw encoding over any TStream (IDataStreamWriter), tagged values and
// untagged items. Threads: not synchronized; one thread at a time per writer.
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "packets/Packets.h"
#include "packets/raw/PacketMemoryStream.h"

namespace vexor {

inline constexpr const char* IID_IDataStreamWriter = "{84D9C282-8F0B-438A-B030-F93E9B61F9C4}";
inline constexpr const char* IID_IRawPacket = "{B86CA087-C59F-402D-89AB-FB696EEDFD02}";

enum TDataCompressionType : uint8_t { dcZLib = 0, dcSnappy = 1 };

// Packets and value arrays nested deeper than this are refused when read (as the JSON reader does).
inline constexpr int kMaxRawNesting = 1024;

class IRawPacket;
class IDataStreamWriter;

// Where a decompressed block goes: Reserve gives room for ACount bytes (keeping what is there).
struct TBlockOutput {
  virtual uint8_t* Reserve(size_t ACount) = 0;
  virtual void Done(size_t ACount) = 0;

 protected:
  ~TBlockOutput() = default;
};
using IRawPacketPtr = TRefPtr<IRawPacket>;
using IDataStreamWriterPtr = TRefPtr<IDataStreamWriter>;

// One argument of PutConsts: a typed item written without a tag. The kind codes are those of an
// argument list's entries.
struct TConstArg {
  enum TKind : uint8_t {
    vtInteger = 0,
    vtBoolean = 1,
    vtChar = 2,
    vtExtended = 3,
    vtString = 4,
    vtPointer = 5,
    vtPChar = 6,
    vtObject = 7,
    vtClass = 8,
    vtWideChar = 9,
    vtPWideChar = 10,
    vtAnsiString = 11,
    vtCurrency = 12,
    vtVariant = 13,
    vtInterface = 14,
    vtWideString = 15,
    vtInt64 = 16,
    vtUnicodeString = 17
  };
  TKind Kind;
  int64_t I = 0;
  double D = 0;
  std::string_view S;
  const Variant* V = nullptr;
  IInterface* Intf = nullptr;

  TConstArg(int32_t A) : Kind(vtInteger), I(A) {}
  TConstArg(bool A) : Kind(vtBoolean), I(A) {}
  TConstArg(char A) : Kind(vtChar), I(static_cast<uint8_t>(A)) {}
  TConstArg(double A) : Kind(vtExtended), D(A) {}
  TConstArg(int64_t A) : Kind(vtInt64), I(A) {}
  TConstArg(std::string_view A) : Kind(vtUnicodeString), S(A) {}
  TConstArg(const std::string& A) : Kind(vtUnicodeString), S(A) {}
  TConstArg(const char* A) : Kind(vtUnicodeString), S(A) {}
  TConstArg(const Variant& A) : Kind(vtVariant), V(&A) {}
  TConstArg(const void* A) : Kind(vtPointer), I(reinterpret_cast<intptr_t>(A)) {}
  template <class T>
  TConstArg(const TRefPtr<T>& A) : Kind(vtInterface), Intf(A.get()) {}
  // Currency from its fixed-point form (value * 10000).
  static TConstArg Currency(int64_t AScaled) {
    TConstArg a(AScaled);
    a.Kind = vtCurrency;
    return a;
  }
  // An 8-bit string (bytes written as they are).
  static TConstArg AnsiString(std::string_view A) {
    TConstArg a(A);
    a.Kind = vtAnsiString;
    return a;
  }
};

class IDataStreamWriter : public virtual IInterface {
 public:
  virtual bool Eof() = 0;
  virtual int32_t Pos() = 0;
  virtual void Reset() = 0;
  // Untagged reads.
  virtual int32_t GetAsInt() = 0;
  virtual std::string GetAsStr() = 0;
  virtual std::string GetAsAnsiStr() = 0;
  virtual std::string GetAsUtf8String() = 0;
  virtual uint16_t GetAsWord() = 0;
  virtual uint32_t GetAsLongWord() = 0;
  virtual uint8_t GetAsByte() = 0;
  virtual bool GetAsBoolean() = 0;
  // One tagged value.
  virtual void GetAsVar(Variant& AResult) = 0;
  virtual TDateTime GetAsDateTime() = 0;
  virtual double GetAsDouble() = 0;
  virtual int64_t GetAsInt64() = 0;
  virtual uint64_t GetAsUInt64() = 0;
  // Untagged writes.
  virtual void PutInt(int32_t Value) = 0;
  virtual void Put(bool Value) = 0;
  // A text (any string kind): 4-byte length, then its UTF-8 bytes.
  virtual void Put(std::string_view Value) = 0;
  void Put(const char* Value) { Put(std::string_view(Value)); }
  void Put(const std::string& Value) { Put(std::string_view(Value)); }
  virtual void PutDateTime(TDateTime Value) = 0;
  // One tagged value.
  virtual void PutVar(const Variant& Value) = 0;
  virtual void PutConsts(std::span<const TConstArg> Args) = 0;
  void PutConsts(std::initializer_list<TConstArg> Args) {
    PutConsts(std::span<const TConstArg>(Args.begin(), Args.size()));
  }
  virtual void PutDouble(double Value) = 0;
  virtual void PutInt64(int64_t Value) = 0;
  virtual void PutUInt64(uint64_t Value) = 0;
  virtual void PutByte(uint8_t Value) = 0;
  virtual void PutWord(uint16_t Value) = 0;
  virtual void PutLongWord(uint32_t Value) = 0;
  // The raw packet's bytes up to its position (all of them at position 0), after their 4-byte
  // count when WithLen; a missing packet with WithLen writes a 4-byte 0.
  virtual void PutPacket(const IRawPacketPtr& Value, bool WithLen) = 0;
  // PutVar of the packet.
  virtual void PutPacket(const IPacketPtr& Value) = 0;
  virtual void PutCompressed(const void* Data, int32_t Len, TDataCompressionType ACompression) = 0;
  virtual void PutBuff(const void* Data, int32_t Len) = 0;
  virtual TStream* AsStream() = 0;
  virtual IRawPacketPtr GetAsRawPacket(bool AReadLenFromData, int32_t ALen) = 0;
  virtual IPacketPtr GetAsPacket() = 0;
  virtual TBytes GetCompressed(TDataCompressionType ACompression) = 0;
  virtual void GetBuff(void* Data, int32_t ALen) = 0;
};

class TDataStreamWriter : public TRefCntObject, public virtual IDataStreamWriter {
 public:
  TDataStreamWriter(TStream* AStream, bool AOwnsStream, bool AMinimize);
  ~TDataStreamWriter() override;

  bool Eof() override;
  int32_t Pos() override;
  void Reset() override;
  int32_t GetAsInt() override;
  std::string GetAsStr() override;
  std::string GetAsAnsiStr() override { return GetAsStr(); }
  std::string GetAsUtf8String() override { return GetAsStr(); }
  uint16_t GetAsWord() override;
  uint32_t GetAsLongWord() override;
  uint8_t GetAsByte() override;
  bool GetAsBoolean() override;
  void GetAsVar(Variant& AResult) override;
  TDateTime GetAsDateTime() override { return GetAsDouble(); }
  double GetAsDouble() override;
  int64_t GetAsInt64() override;
  uint64_t GetAsUInt64() override;
  void PutInt(int32_t Value) override;
  void Put(bool Value) override;
  void Put(std::string_view Value) override;
  using IDataStreamWriter::Put;
  using IDataStreamWriter::PutConsts;
  void PutDateTime(TDateTime Value) override { PutDouble(Value); }
  void PutVar(const Variant& Value) override;
  void PutConsts(std::span<const TConstArg> Args) override;
  void PutDouble(double Value) override;
  void PutInt64(int64_t Value) override;
  void PutUInt64(uint64_t Value) override;
  void PutByte(uint8_t Value) override;
  void PutWord(uint16_t Value) override;
  void PutLongWord(uint32_t Value) override;
  void PutPacket(const IRawPacketPtr& Value, bool WithLen) override;
  void PutPacket(const IPacketPtr& Value) override;
  void PutCompressed(const void* Data, int32_t Len, TDataCompressionType ACompression) override;
  void PutBuff(const void* Data, int32_t Len) override;
  TStream* AsStream() override { return FData; }
  IRawPacketPtr GetAsRawPacket(bool AReadLenFromData, int32_t ALen) override;
  IPacketPtr GetAsPacket() override;
  TBytes GetCompressed(TDataCompressionType ACompression) override;
  void GetBuff(void* Data, int32_t ALen) override;

 protected:
  // Constant after construction. FMem is FData when that is a memory stream (the fast path).
  TStream* FData;
  TPacketMemoryStream* FMem;
  bool FOwnsStream;
  bool FMinimize;

  // Exactly ACount bytes or EPacketError (the position then stands after what could be read).
  void ReadExact(void* AData, int64_t ACount);
  template <class T>
  T ReadAs() {
    T v;
    ReadExact(&v, sizeof v);
    return v;
  }
  // Reads the compressed block at the position into AOut.
  void ReadCompressed(TDataCompressionType ACompression, TBlockOutput& AOut);
  void WriteBytes(const void* AData, int64_t ACount);
  int64_t Remaining() const;
};

}  // namespace vexor
