#pragma once
// The raw binary packet stream: a compact, self-describing encoding of packet values (one tag
// byte, then a little-endian payload; texts in UTF-8), written to and read from byte streams, with
// zlib or Snappy compressed blocks.
//
// IDataStreamWriter reads and writes over any TStream; IRawPacket is such a reader and writer over
// its own memory buffer. A raw packet either owns its bytes or is a read-only view of part of
// another raw packet's bytes (CreateCloned, GetAsPacketClone): a view keeps its source alive and
// shares its bytes without copying; writing into the source afterwards never changes what a view
// sees (the source copies its bytes first), and writing into a view raises
// "Can't write to read-only packet stream".
//
// Reading outside input is safe: a tag, item, length or count that needs more bytes than remain
// raises EPacketError "Error Reading Packet Data" before anything is allocated for it; nesting of
// packets and value arrays deeper than kMaxRawNesting levels is refused; a compressed block whose
// stated size its input cannot produce is refused.
//
// Threads: none of these objects is synchronized; one thread at a time per writer or raw packet.
// A view reads bytes its source no longer changes, so a source and its views may be used on
// different threads (their counts are atomic).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Exceptions.h"
#include "packets/Packets.h"

namespace vexor {

inline constexpr const char* IID_IDataStreamWriter = "{84D9C282-8F0B-438A-B030-F93E9B61F9C4}";
inline constexpr const char* IID_IRawPacket = "{B86CA087-C59F-402D-89AB-FB696EEDFD02}";

// Short reads of raw data and writes into read-only buffers.
class EPacketError : public Exception {
 public:
  using Exception::Exception;
};

enum TDataCompressionType : uint8_t { dcZLib = 0, dcSnappy = 1 };

// Packets and value arrays nested deeper than this are refused when read (as the JSON reader does).
inline constexpr int kMaxRawNesting = 1024;

// A byte stream with a position. Read returns the count actually read; Write raises when it
// cannot write everything.
class TStream {
 public:
  virtual ~TStream() = default;
  virtual int64_t Read(void* AData, int64_t ACount) = 0;
  virtual void Write(const void* AData, int64_t ACount) = 0;
  virtual int64_t Position() const = 0;
  virtual void SetPosition(int64_t APos) = 0;
  virtual int64_t Size() const = 0;
  virtual void SetSize(int64_t ASize) = 0;
};

// Memory stream of a raw packet. Owns a counted block of bytes, or views part of another stream's
// block (read-only). Capacity is a multiple of 32 bytes below 1 KiB, of 512 below 4 KiB and of
// 8 KiB beyond; growing at least doubles it (adds a quarter past 64 KiB), so buffers filled by
// many small writes fill in linear time. A failed growth raises "Out of memory while expanding
// memory stream".
class TPacketMemoryStream final : public TStream {
 public:
  TPacketMemoryStream() noexcept = default;
  // Exactly ASize zero bytes.
  explicit TPacketMemoryStream(int64_t ASize);
  TPacketMemoryStream(const TPacketMemoryStream&) = delete;
  TPacketMemoryStream& operator=(const TPacketMemoryStream&) = delete;
  ~TPacketMemoryStream() override;

  // Makes this stream a read-only view of ALen bytes of ASource from AOffset (no copy).
  void ViewOf(const TPacketMemoryStream& ASource, int64_t AOffset, int64_t ALen);
  // Takes over another owning stream's bytes; AOther is left empty.
  void TakeOver(TPacketMemoryStream& AOther) noexcept;

  int64_t Read(void* AData, int64_t ACount) override;
  void Write(const void* AData, int64_t ACount) override;
  int64_t Position() const override { return FPosition; }
  void SetPosition(int64_t APos) override { FPosition = APos < 0 ? 0 : APos; }
  int64_t Size() const override { return FSize; }
  void SetSize(int64_t ASize) override;

  bool ReadOnly() const noexcept { return FReadOnly; }
  // Bytes writable without growing (0 for a view).
  int64_t Capacity() const noexcept;
  // Grows the capacity to at least ACapacity (no effect on a view).
  void Reserve(int64_t ACapacity);
  const uint8_t* Memory() const noexcept { return FMemory; }
  int64_t Remaining() const noexcept { return FPosition < FSize ? FSize - FPosition : 0; }
  // Memory writable up to AEnd bytes (capacity grown, bytes unshared); raises on a view.
  uint8_t* WritableUpTo(int64_t AEnd);
  // After writing up to AEnd: position AEnd, size at least AEnd.
  void CommitWrite(int64_t AEnd) noexcept {
    FPosition = AEnd;
    if (AEnd > FSize) FSize = AEnd;
  }

 private:
  struct TBlock;
  // Guarded by the one-thread-at-a-time rule; FBlock may be shared with views (atomic count).
  TBlock* FBlock = nullptr;
  uint8_t* FMemory = nullptr;
  int64_t FSize = 0;
  int64_t FPosition = 0;
  bool FReadOnly = false;

  void SetCapacity(int64_t ACapacity);
  void ReleaseBlock() noexcept;
};

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

class IRawPacket : public virtual IDataStreamWriter {
 public:
  virtual void Clear() = 0;
  // Replaces the bytes before the position by one compressed block of them.
  virtual void CompressData(TDataCompressionType Compression) = 0;
  // Replaces the buffer by the block at the position, decompressed; position 0.
  virtual void DecompressData(TDataCompressionType Compression) = 0;
  virtual int32_t ReadFromStream(TStream& S, int32_t ASize) = 0;
  virtual int32_t WriteToStream(TStream& S, int32_t ASize) = 0;
  // A read-only view of the next ALen bytes (0: all that remain); none when nothing remains.
  virtual IRawPacketPtr GetAsPacketClone(int32_t ALen) = 0;
  virtual const uint8_t* RawData() = 0;
  virtual int32_t GetSize() = 0;
  // A view can only shrink (its bytes are borrowed); an owning packet resizes its buffer.
  virtual void SetSize(int32_t ASize) = 0;
  // The bytes as one text (copy).
  std::string Bytes() { return std::string(reinterpret_cast<const char*>(RawData()), static_cast<size_t>(GetSize())); }
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

class TRawPacket final : public TDataStreamWriter, public virtual IRawPacket {
 public:
  // A buffer of exactly ASize zero bytes, position 0 (writing overwrites, then extends).
  explicit TRawPacket(int32_t ASize = 0, bool AMinimize = false);
  // A read-only view of ALen bytes of APacket from its position (cut to what it has).
  static IRawPacketPtr CreateCloned(const IRawPacketPtr& APacket, int32_t ALen);
  // An empty packet whose buffer can take ACapacity bytes without growing.
  static IRawPacketPtr WithCapacity(int32_t ACapacity, bool AMinimize);
  // A new owning packet holding a copy of ABytes, position 0.
  static IRawPacketPtr FromBytes(std::string_view ABytes);

  void Clear() override;
  void CompressData(TDataCompressionType Compression) override;
  void DecompressData(TDataCompressionType Compression) override;
  int32_t ReadFromStream(TStream& S, int32_t ASize) override;
  int32_t WriteToStream(TStream& S, int32_t ASize) override;
  IRawPacketPtr GetAsPacketClone(int32_t ALen) override;
  const uint8_t* RawData() override { return FStream.Memory(); }
  int32_t GetSize() override { return static_cast<int32_t>(FStream.Size()); }
  void SetSize(int32_t ASize) override;
  TPacketMemoryStream& Stream() noexcept { return FStream; }

 private:
  TPacketMemoryStream FStream;
  // Constant after construction: the packet whose bytes this view shares, or none.
  IRawPacketPtr FCloned;
};

// The "RAW" channel format: the packet as one tagged value (minimized, the buffer sized by
// DataSize once), then, when asked, the whole encoding replaced by one compressed block.
IRawPacketPtr PacketToRawChannelFormat(const IPacketPtr& Data,
                                       std::optional<TDataCompressionType> ACompression = std::nullopt);
// The reverse: the block at the position decompressed when asked, then one value read as a packet
// (none when the value holds no packet).
IPacketPtr RawChannelFormatToPacket(const IRawPacketPtr& Bytes,
                                    std::optional<TDataCompressionType> ACompression = std::nullopt);
// The same on plain byte texts (files, pipes).
std::string PacketToRawBytes(const IPacketPtr& Data, std::optional<TDataCompressionType> ACompression = std::nullopt);
IPacketPtr PacketFromRawBytes(std::string_view ABytes, std::optional<TDataCompressionType> ACompression = std::nullopt);

}  // namespace vexor
