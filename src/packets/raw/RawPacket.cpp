#include "packets/raw/RawPacket.h"

#include <cxxabi.h>
#include <snappy-c.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <typeinfo>

#include "platform/StrFormat.h"

namespace vexor {

namespace {

const char kErrReadingData[] = "Error Reading Packet Data";
const char kErrReadOnly[] = "Can't write to read-only packet stream";
const char kErrUnsupported[] = "Writing unsupported variant type ($%X)!";
const char kErrInvalidVariant[] = "Invalid Variant %s in PutVar";
const char kErrConstArg[] = "Unsupported argument passed to DataStreamWriter.PutConsts ($%X)";
const char kErrCompress[] = "Data compression error (%d)";
const char kErrCompressedLength[] = "Error getting compressed length";
const char kErrDecompress[] = "Error decompressing data";
const char kErrOutOfMemory[] = "Out of memory while expanding memory stream";
const char kErrTooDeep[] = "Packet data nested deeper than 1024 levels";
const char kErrImplausible[] = "Compressed block states an implausible size (%lld bytes from %lld)";

constexpr int64_t kMaxStreamSize = std::numeric_limits<int32_t>::max();
constexpr int32_t kChannelInitialCapacity = 256;

// The tags: the index of a kind in the table of 39 kinds; 31 to 38 are short forms.
enum TRawTag : uint8_t {
  tgEmpty = 0,
  tgNull = 1,
  tgSmallint = 2,
  tgInteger = 3,
  tgSingle = 4,
  tgDouble = 5,
  tgCurrency = 6,
  tgDate = 7,
  tgOleStr = 8,
  tgBoolean = 9,
  tgShortInt = 10,
  tgReference = 11,
  tgByte = 12,
  tgWord = 13,
  tgLongWord = 14,
  tgInt64 = 15,
  tgUInt64 = 16,
  tgAnsiString = 17,
  tgString = 18,
  tgInt64Array = 19,
  tgByteArray = 20,
  tgSingleArray = 21,
  tgShortIntArray = 22,
  tgDoubleArray = 23,
  tgDateArray = 24,
  tgBooleanArray = 25,
  tgWordArray = 26,
  tgLongWordArray = 27,
  tgIntegerArray = 28,
  tgVariantArray = 29,
  tgOleStrArray = 30,
  tgZero = 31,
  tgMinusOne = 32,
  tgEmptyText = 33,
  tgPacket = 34,
  tgUnsupported = 35,
  tgSmallintArray = 36,
  tgUInt64Array = 37,
  tgShortText = 38,
  tgCount = 39
};

// Scalar arrays: tag, element kind and the element's width in the stream.
struct TArrayRow {
  uint8_t Tag;
  TVarType Elem;
  uint8_t Width;
};
constexpr TArrayRow kArrayRows[] = {
    {tgInt64Array, varInt64, 8},       {tgByteArray, varByte, 1},         {tgSingleArray, varSingle, 4},
    {tgShortIntArray, varShortInt, 1}, {tgDoubleArray, varDouble, 8},     {tgDateArray, varDate, 8},
    {tgBooleanArray, varBoolean, 2},   {tgWordArray, varWord, 2},         {tgLongWordArray, varLongWord, 4},
    {tgIntegerArray, varInteger, 4},   {tgSmallintArray, varSmallint, 2}, {tgUInt64Array, varUInt64, 8},
};

const TArrayRow* ArrayRowByElem(TVarType AElem) {
  for (const TArrayRow& r : kArrayRows)
    if (r.Elem == AElem) return &r;
  return nullptr;
}

const TArrayRow* ArrayRowByTag(uint8_t ATag) {
  for (const TArrayRow& r : kArrayRows)
    if (r.Tag == ATag) return &r;
  return nullptr;
}

template <class T>
void Store(uint8_t* AOut, T AValue) {
  std::memcpy(AOut, &AValue, sizeof AValue);
}

template <class T>
T Load(const uint8_t* AIn) {
  T v;
  std::memcpy(&v, AIn, sizeof v);
  return v;
}

[[noreturn]] void ShortRead() { throw EPacketError(kErrReadingData); }

std::string ClassNameOf(IInterface* AObj) {
  const char* mangled = typeid(*AObj).name();
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
  std::string s = status == 0 && name ? name.get() : mangled;
  if (s.starts_with("vexor::")) s.erase(0, 7);
  return s;
}

// ---- writing ----

// Encodes values straight into a memory stream's buffer from its position; the position and
// size follow what was written, also when a value is rejected half-way.
class TEncoder {
 public:
  TEncoder(TPacketMemoryStream& AStream, bool AMinimize) : FStream(AStream), FMinimize(AMinimize) {
    FPos = AStream.Position();
    FBase = nullptr;
    FLimit = 0;
  }
  ~TEncoder() {
    if (FBase) FStream.CommitWrite(FPos);
  }
  TEncoder(const TEncoder&) = delete;
  TEncoder& operator=(const TEncoder&) = delete;

  uint8_t* Room(int64_t ACount) {
    if (FPos + ACount > FLimit) Grow(ACount);
    return FBase + FPos;
  }
  void Byte(uint8_t A) {
    *Room(1) = A;
    ++FPos;
  }
  template <class T>
  void Fixed(T A) {
    Store(Room(sizeof A), A);
    FPos += sizeof A;
  }
  void Bytes(const void* AData, int64_t ACount) {
    if (ACount <= 0) return;
    std::memcpy(Room(ACount), AData, static_cast<size_t>(ACount));
    FPos += ACount;
  }
  template <class T>
  void Tagged(uint8_t ATag, T AValue) {
    uint8_t* o = Room(1 + sizeof AValue);
    o[0] = ATag;
    Store(o + 1, AValue);
    FPos += 1 + sizeof AValue;
  }
  void LongText(std::string_view A) {
    uint8_t* o = Room(4 + static_cast<int64_t>(A.size()));
    Store(o, static_cast<int32_t>(A.size()));
    if (!A.empty()) std::memcpy(o + 4, A.data(), A.size());
    FPos += 4 + static_cast<int64_t>(A.size());
  }

  void Value(const Variant& V);
  void Packet(IPacket* P);

 private:
  TPacketMemoryStream& FStream;
  bool FMinimize;
  uint8_t* FBase;
  int64_t FPos;
  int64_t FLimit;

  void Grow(int64_t ACount);
  void Integer(TVarType AKind, int64_t AValue);
  void Text(TVarType AKind, std::string_view A);
  void Array(const Variant& V);
  void Reference(const Variant& V);
};

void TEncoder::Grow(int64_t ACount) {
  FBase = FStream.WritableUpTo(FPos + ACount);
  FLimit = FStream.Capacity();
}

// The narrowest kind the minimizing writer stores an integer in (the bounds are part of the
// format: 254 and -126, not 255 and -128).
TVarType MinimizedKind(TVarType AKind, int64_t V) {
  if (V >= 0 && V <= 254) return varByte;
  if (V >= 255 && V <= 65534) return varWord;
  if (V >= -126 && V <= -1) return varShortInt;
  if (AKind == varInt64 && V >= 65535 && V <= 2147483646) return varInteger;
  return AKind;
}

void TEncoder::Integer(TVarType AKind, int64_t V) {
  if (FMinimize && (AKind == varInteger || AKind == varWord || AKind == varInt64)) AKind = MinimizedKind(AKind, V);
  if (V == 0) return Byte(tgZero);
  if (V == -1 && (AKind == varInteger || AKind == varShortInt || AKind == varInt64)) return Byte(tgMinusOne);
  switch (AKind) {
    case varSmallint: return Tagged(tgSmallint, static_cast<int16_t>(V));
    case varInteger: return Tagged(tgInteger, static_cast<int32_t>(V));
    case varShortInt: return Tagged(tgShortInt, static_cast<int8_t>(V));
    case varByte: return Tagged(tgByte, static_cast<uint8_t>(V));
    case varWord: return Tagged(tgWord, static_cast<uint16_t>(V));
    case varLongWord: return Tagged(tgLongWord, static_cast<uint32_t>(V));
    case varInt64: return Tagged(tgInt64, V);
    default: return Tagged(tgUInt64, V);  // varUInt64
  }
}

void TEncoder::Text(TVarType AKind, std::string_view A) {
  if (A.empty()) return Byte(tgEmptyText);
  if (A.size() <= 255) {
    uint8_t* o = Room(2 + static_cast<int64_t>(A.size()));
    o[0] = tgShortText;
    o[1] = static_cast<uint8_t>(A.size());
    std::memcpy(o + 2, A.data(), A.size());
    FPos += 2 + static_cast<int64_t>(A.size());
    return;
  }
  if (A.size() > static_cast<size_t>(kMaxStreamSize)) throw Exception(kErrOutOfMemory);
  Byte(AKind == varOleStr ? tgOleStr : AKind == varString ? tgAnsiString : tgString);
  LongText(A);
}

void TEncoder::Packet(IPacket* P) {
  Byte(tgPacket);
  if (!P) {  // a null packet reference stands for an empty untyped packet
    Fixed<int64_t>(0);
    return;
  }
  // A plain packet is read directly, not through its interface.
  const std::type_info* t = &typeid(*P);
  TPacket* known = t == &typeid(TPacket) || t == &typeid(TPropertyPacket) ? static_cast<TPacket*>(P) : nullptr;
  LongText(known ? known->TPacket::GetTypeName() : P->GetTypeName());
  const TPacketValues& values = known ? known->TPacket::__RawData() : P->__RawData();
  const size_t n = values.size();
  Fixed(static_cast<int32_t>(n));
  // Children live apart in memory: ask for the next ones while this one is written.
  constexpr size_t kAhead = 4;
  for (size_t i = 0; i < n && i < kAhead; ++i) TPacketValues::PrefetchObject(values[i].ObjectRef());
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) TPacketValues::PrefetchObject(values[i + kAhead].ObjectRef());
    Value(values[i]);
  }
}

void TEncoder::Reference(const Variant& V) {
  IInterface* obj = V.ObjectRef();
  if (auto* raw = dynamic_cast<IRawPacket*>(obj)) {
    if (raw->Pos() > 0) raw->SetSize(raw->Pos());
    Byte(tgReference);
    int32_t n = raw->GetSize();
    Fixed(n);
    Bytes(raw->RawData(), n);
    return;
  }
  std::string what = obj ? ClassNameOf(obj) : "Unknown";
  throw Exception(Format(kErrInvalidVariant, what.c_str()));
}

void TEncoder::Array(const Variant& V) {
  const TVarType elem = V.ElementKind();
  const int64_t n = static_cast<int64_t>(V.ArrayCount());
  if (elem == varVariant || elem == varOleStr) {
    uint8_t* o = Room(5);
    o[0] = elem == varVariant ? tgVariantArray : tgOleStrArray;
    Store(o + 1, static_cast<int32_t>(n));
    FPos += 5;
    for (const Variant& e : V.ArrayRef()) Value(e);
    return;
  }
  const TArrayRow* row = ArrayRowByElem(elem);
  if (!row) {
    Byte(tgUnsupported);
    throw Exception(Format(kErrUnsupported, static_cast<unsigned>(V.Kind())));
  }
  uint8_t* o = Room(5 + n * row->Width);
  o[0] = row->Tag;
  Store(o + 1, static_cast<int32_t>(n));
  o += 5;
  if (elem == varByte) {
    std::string_view b = V.BytesRef();
    if (!b.empty()) std::memcpy(o, b.data(), b.size());
  } else {
    for (const Variant& e : V.ArrayRef()) {
      switch (elem) {
        case varSingle: Store(o, e.RawSingle()); break;
        case varDouble:
        case varDate: Store(o, e.RawDouble()); break;
        case varBoolean: Store<uint16_t>(o, e.RawBoolean() ? 0xFFFF : 0); break;
        default: {
          // Integer elements: the low Width bytes of the value, little-endian.
          const int64_t x = e.RawInt64();
          std::memcpy(o, &x, row->Width);
          break;
        }
      }
      o += row->Width;
    }
  }
  FPos += 5 + n * row->Width;
}

void TEncoder::Value(const Variant& V) {
  const TVarType k = V.Kind();
  // The integer kinds: 2, 3 and 16 to 21.
  if (k == varSmallint || k == varInteger || (k >= varShortInt && k <= varUInt64)) return Integer(k, V.RawInt64());
  switch (k) {
    case varEmpty: return Byte(tgEmpty);
    case varNull: return Byte(tgNull);
    case varSingle: {
      if (V.RawSingle() == 0) return Byte(tgZero);
      return Tagged(tgSingle, static_cast<double>(V.RawSingle()));
    }
    case varDouble: {
      double d = V.RawDouble();
      if (d == 0) return Byte(tgZero);
      return Tagged(tgDouble, d);
    }
    case varCurrency: {
      if (V.RawInt64() == 0) return Byte(tgZero);
      return Tagged(tgCurrency, static_cast<double>(V.RawInt64()) / 10000.0);
    }
    case varDate: return Tagged(tgDate, V.RawDouble());
    case varBoolean: {
      return Tagged(tgBoolean, static_cast<uint8_t>(V.RawBoolean() ? 1 : 0));
    }
    case varOleStr:
    case varString:
    case varUString: return Text(k, V.StrRef());
    default: break;
  }
  if (VarIsPacket(V)) return Packet(V.PacketRef());
  if (k == varUnknown) return Reference(V);
  if (V.IsArray()) return Array(V);
  Byte(tgUnsupported);
  throw Exception(Format(kErrUnsupported, static_cast<unsigned>(k)));
}

// ---- reading ----

// Reads from a memory range.
class TMemorySource {
 public:
  TMemorySource(const uint8_t* ABegin, const uint8_t* AEnd) : FCur(ABegin), FEnd(AEnd) {}
  int64_t Remaining() const { return FEnd - FCur; }
  // Exactly ACount bytes, or EPacketError with everything that remained consumed.
  const uint8_t* Take(int64_t ACount) {
    if (FEnd - FCur < ACount) {
      FCur = FEnd;
      ShortRead();
    }
    const uint8_t* p = FCur;
    FCur += ACount;
    return p;
  }
  template <class T>
  T Fixed() {
    return Load<T>(Take(sizeof(T)));
  }
  // A payload whose length was just read: refused before anything is taken or allocated.
  template <class F>
  auto Payload(int64_t ACount, F&& AUse) {
    if (FEnd - FCur < ACount) ShortRead();
    const uint8_t* p = FCur;
    FCur += ACount;
    return AUse(p);
  }
  const uint8_t* Cursor() const { return FCur; }

 private:
  const uint8_t* FCur;
  const uint8_t* FEnd;
};

// Reads from any stream (the stream's position follows every read).
class TStreamSource {
 public:
  explicit TStreamSource(TStream& AStream) : FStream(AStream) {}
  int64_t Remaining() const {
    int64_t r = FStream.Size() - FStream.Position();
    return r > 0 ? r : 0;
  }
  void Read(void* AData, int64_t ACount) {
    if (FStream.Read(AData, ACount) != ACount) ShortRead();
  }
  template <class T>
  T Fixed() {
    T v;
    Read(&v, sizeof v);
    return v;
  }
  template <class F>
  auto Payload(int64_t ACount, F&& AUse) {
    if (Remaining() < ACount) ShortRead();
    FBuffer.resize(static_cast<size_t>(ACount));
    Read(FBuffer.data(), ACount);
    return AUse(reinterpret_cast<const uint8_t*>(FBuffer.data()));
  }

 private:
  TStream& FStream;
  std::string FBuffer;
};

template <class TSource>
class TDecoder {
 public:
  explicit TDecoder(TSource& ASource) : FSrc(ASource) {}

  Variant Value() {
    const uint8_t tag = FSrc.template Fixed<uint8_t>();
    switch (tag) {
      case tgEmpty: return Variant();
      case tgNull: return Variant::Null();
      case tgSmallint: return Variant(FSrc.template Fixed<int16_t>());
      case tgInteger: return Variant(FSrc.template Fixed<int32_t>());
      case tgSingle: return Variant(static_cast<float>(FSrc.template Fixed<double>()));
      case tgDouble: return Variant(FSrc.template Fixed<double>());
      case tgCurrency: return Variant::FromCurrency(FSrc.template Fixed<double>());
      case tgDate: return Variant::Date(FSrc.template Fixed<double>());
      case tgOleStr:
      case tgString: return Variant(LongText());
      case tgAnsiString: return Variant::Str(varString, std::string(LongText()));
      case tgBoolean: return Variant(FSrc.template Fixed<uint8_t>() != 0);
      case tgShortInt: return Variant(FSrc.template Fixed<int8_t>());
      case tgReference: return Reference();
      case tgByte: return Variant(FSrc.template Fixed<uint8_t>());
      case tgWord: return Variant(FSrc.template Fixed<uint16_t>());
      case tgLongWord: return Variant(FSrc.template Fixed<uint32_t>());
      case tgInt64: return Variant(static_cast<long long>(FSrc.template Fixed<int64_t>()));
      case tgUInt64: return Variant(static_cast<unsigned long long>(FSrc.template Fixed<uint64_t>()));
      case tgVariantArray:
      case tgOleStrArray: return VariantArray();
      case tgZero: return Variant(static_cast<unsigned char>(0));
      case tgMinusOne: return Variant(static_cast<signed char>(-1));
      case tgEmptyText: return Variant(std::string_view());
      case tgPacket: return Packet();
      case tgUnsupported: ShortRead();
      case tgShortText: {
        const uint8_t n = FSrc.template Fixed<uint8_t>();
        return FSrc.Payload(n, [n](const uint8_t* p) {
          return Variant(std::string_view(reinterpret_cast<const char*>(p), n));
        });
      }
      default:
        if (tag >= tgCount) return Variant::Null();  // names no kind: no payload
        return ScalarArray(*ArrayRowByTag(tag));
    }
  }

  // 4-byte length and UTF-8 text; a length of 0 or below is the empty text.
  std::string_view LongText() {
    const int32_t n = FSrc.template Fixed<int32_t>();
    if (n <= 0) return {};
    // Valid until the next read: used at once.
    return FSrc.Payload(n, [n](const uint8_t* p) {
      return std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
    });
  }

  // A count of items of at least AMinWidth bytes each, checked against what remains.
  int32_t Count(int64_t AMinWidth) {
    const int32_t n = FSrc.template Fixed<int32_t>();
    if (n < 0 || static_cast<int64_t>(n) * AMinWidth > FSrc.Remaining()) ShortRead();
    return n;
  }

  void Enter() {
    if (++FDepth > kMaxRawNesting) throw EPacketError(kErrTooDeep);
  }

  Variant Packet() {
    std::string_view name = LongText();
    auto p = IPacketPtr::Adopt(new TPacket(name));
    const int32_t n = Count(1);
    Enter();
    TPacketValues& values = p->__RawData();
    values.reserve(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) values.emplace_back(Value());
    --FDepth;
    return Variant(Variant::TAdoptedPacket{varPacket, p.Detach()});
  }

  Variant VariantArray() {
    const int32_t n = Count(1);
    Enter();
    TVariantArray items;
    items.reserve(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) items.emplace_back(Value());
    --FDepth;
    return Variant::Array(varVariant, std::move(items));
  }

  Variant ScalarArray(const TArrayRow& ARow) {
    const int32_t n = Count(ARow.Width);
    return FSrc.Payload(static_cast<int64_t>(n) * ARow.Width, [&ARow, n](const uint8_t* p) {
      if (ARow.Elem == varByte)
        return Variant::ByteArray(std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(n)));
      TVariantArray items;
      items.reserve(static_cast<size_t>(n));
      for (int32_t i = 0; i < n; ++i, p += ARow.Width) {
        switch (ARow.Elem) {
          case varInt64: items.emplace_back(static_cast<long long>(Load<int64_t>(p))); break;
          case varSingle: items.emplace_back(Load<float>(p)); break;
          case varShortInt: items.emplace_back(Load<int8_t>(p)); break;
          case varDouble: items.emplace_back(Load<double>(p)); break;
          case varDate: items.emplace_back(Variant::Date(Load<double>(p))); break;
          case varBoolean: items.emplace_back(Load<uint16_t>(p) != 0); break;
          case varWord: items.emplace_back(Load<uint16_t>(p)); break;
          case varLongWord: items.emplace_back(Load<uint32_t>(p)); break;
          case varInteger: items.emplace_back(Load<int32_t>(p)); break;
          case varSmallint: items.emplace_back(Load<int16_t>(p)); break;
          default: items.emplace_back(static_cast<unsigned long long>(Load<uint64_t>(p))); break;
        }
      }
      return Variant::Array(ARow.Elem, std::move(items));
    });
  }

  Variant Reference() {
    const int32_t n = FSrc.template Fixed<int32_t>();
    if (n < 1) return Variant::Object(varUnknown, nullptr);
    return FSrc.Payload(n, [n](const uint8_t* p) {
      IRawPacketPtr raw = TRawPacket::FromBytes(std::string_view(reinterpret_cast<const char*>(p),
                                                                 static_cast<size_t>(n)));
      return Variant::Object(varUnknown, TRefPtr<IInterface>(raw.get()));
    });
  }

 private:
  TSource& FSrc;
  int FDepth = 0;
};

// ---- compressed blocks ----

// Deflate never expands beyond about 1032:1; Snappy's elements never beyond 64 bytes out of 3.
constexpr int64_t kMaxZLibRatio = 1100;
constexpr int64_t kMaxSnappyRatio = 22;

void CheckPlausible(int64_t AClaimed, int64_t AInput, int64_t ARatio) {
  if (AClaimed > kMaxStreamSize || AClaimed > AInput * ARatio + 64)
    throw Exception(Format(kErrImplausible, static_cast<long long>(AClaimed), static_cast<long long>(AInput)));
}

// Inflates exactly ALen bytes from AIn; returns how many input bytes the stream used.
size_t InflateExactly(const uint8_t* AIn, size_t AInLen, int64_t ALen, TBlockOutput& AOut) {
  CheckPlausible(ALen, static_cast<int64_t>(AInLen), kMaxZLibRatio);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw Exception(kErrDecompress);
  // Grown as output arrives, so a false length costs no more than the input produces.
  const size_t want = static_cast<size_t>(ALen);
  size_t cap = std::min<size_t>(want, AInLen * 4 + 65536);
  uint8_t* out = AOut.Reserve(cap);
  z.next_in = const_cast<Bytef*>(AIn);
  z.avail_in = static_cast<uInt>(AInLen);
  size_t produced = 0;
  int rc = Z_OK;
  while (produced < want) {
    if (produced == cap) {
      cap = std::min<size_t>(cap * 2, want);
      out = AOut.Reserve(cap);
    }
    z.next_out = out + produced;
    z.avail_out = static_cast<uInt>(cap - produced);
    rc = inflate(&z, Z_NO_FLUSH);
    produced = cap - z.avail_out;
    if (rc != Z_OK) break;
  }
  const size_t used = z.total_in;
  inflateEnd(&z);
  if (produced != want || (rc != Z_OK && rc != Z_STREAM_END)) throw Exception(kErrDecompress);
  AOut.Done(want);
  return used;
}

void SnappyUncompress(const uint8_t* AIn, size_t AInLen, TBlockOutput& AOut) {
  size_t n = 0;
  if (snappy_uncompressed_length(reinterpret_cast<const char*>(AIn), AInLen, &n) != SNAPPY_OK)
    throw Exception(kErrCompressedLength);
  CheckPlausible(static_cast<int64_t>(std::min<size_t>(n, SIZE_MAX / 2)), static_cast<int64_t>(AInLen),
                 kMaxSnappyRatio);
  uint8_t* out = AOut.Reserve(n);
  size_t outLen = n;
  if (snappy_uncompress(reinterpret_cast<const char*>(AIn), AInLen, reinterpret_cast<char*>(out), &outLen) !=
          SNAPPY_OK ||
      outLen != n)
    throw Exception(kErrDecompress);
  AOut.Done(n);
}

struct TBytesOutput final : TBlockOutput {
  TBytes Bytes;
  uint8_t* Reserve(size_t ACount) override {
    Bytes.resize(ACount);
    return Bytes.data();
  }
  void Done(size_t ACount) override { Bytes.resize(ACount); }
};

// Straight into a stream's own memory (no zero-filled vector in between).
struct TStreamOutput final : TBlockOutput {
  TPacketMemoryStream& S;
  explicit TStreamOutput(TPacketMemoryStream& AStream) : S(AStream) {}
  uint8_t* Reserve(size_t ACount) override { return S.WritableUpTo(static_cast<int64_t>(ACount)); }
  void Done(size_t ACount) override {
    S.CommitWrite(static_cast<int64_t>(ACount));
    S.SetPosition(0);
  }
};

// Writes one compressed block at the stream's position.
void EncodeCompressed(TPacketMemoryStream& S, const void* AData, int32_t ALen, TDataCompressionType AKind) {
  int64_t pos = S.Position();
  if (ALen <= 0) {
    Store<int32_t>(S.WritableUpTo(pos + 4) + pos, 0);
    S.CommitWrite(pos + 4);
    return;
  }
  if (AKind == dcZLib) {
    uLongf bound = compressBound(static_cast<uLong>(ALen));
    uint8_t* o = S.WritableUpTo(pos + 4 + static_cast<int64_t>(bound)) + pos;
    Store<int32_t>(o, ALen);
    int rc = compress2(o + 4, &bound, static_cast<const Bytef*>(AData), static_cast<uLong>(ALen),
                       Z_DEFAULT_COMPRESSION);
    if (rc != Z_OK) throw Exception(Format(kErrCompress, rc));
    S.CommitWrite(pos + 4 + static_cast<int64_t>(bound));
    return;
  }
  size_t outLen = 32 + static_cast<size_t>(ALen) + static_cast<size_t>(ALen) / 6;
  uint8_t* o = S.WritableUpTo(pos + 4 + static_cast<int64_t>(outLen)) + pos;
  snappy_status rc = snappy_compress(static_cast<const char*>(AData), static_cast<size_t>(ALen),
                                     reinterpret_cast<char*>(o + 4), &outLen);
  if (rc != SNAPPY_OK) throw Exception(Format(kErrCompress, static_cast<int>(rc)));
  Store<int32_t>(o, static_cast<int32_t>(outLen));
  S.CommitWrite(pos + 4 + static_cast<int64_t>(outLen));
}

}  // namespace

// ---- TPacketMemoryStream ----

struct TPacketMemoryStream::TBlock {
  std::atomic<int32_t> Refs;
  int64_t Capacity;
  uint8_t* Bytes() noexcept { return reinterpret_cast<uint8_t*>(this + 1); }
};

TPacketMemoryStream::TPacketMemoryStream(int64_t ASize) {
  if (ASize > 0) {
    SetCapacity(ASize);
    std::memset(FMemory, 0, static_cast<size_t>(ASize));
    FSize = ASize;
  }
}

TPacketMemoryStream::~TPacketMemoryStream() { ReleaseBlock(); }

void TPacketMemoryStream::ReleaseBlock() noexcept {
  if (FBlock && FBlock->Refs.fetch_sub(1, std::memory_order_acq_rel) == 1) std::free(FBlock);
  FBlock = nullptr;
  FMemory = nullptr;
}

int64_t TPacketMemoryStream::Capacity() const noexcept {
  if (FReadOnly || !FBlock) return 0;
  return FBlock->Capacity;
}

void TPacketMemoryStream::SetCapacity(int64_t ACapacity) {
  if (ACapacity > kMaxStreamSize) throw Exception(kErrOutOfMemory);
  // Growing at least doubles the buffer (by a quarter past 64 KiB), so that filling one by many
  // small writes stays linear; the steps keep small buffers small.
  if (FBlock && ACapacity > FBlock->Capacity)
    ACapacity = std::max(ACapacity,
                         FBlock->Capacity < 65536 ? FBlock->Capacity * 2 : FBlock->Capacity + FBlock->Capacity / 4);
  const int64_t step = ACapacity < 1024 ? 32 : ACapacity < 4096 ? 512 : 8192;
  ACapacity = std::min<int64_t>((ACapacity + step - 1) / step * step, kMaxStreamSize);
  const size_t bytes = sizeof(TBlock) + static_cast<size_t>(ACapacity);
  TBlock* b;
  if (FBlock && FBlock->Refs.load(std::memory_order_acquire) == 1) {
    b = static_cast<TBlock*>(std::realloc(FBlock, bytes));
    if (!b) throw Exception(kErrOutOfMemory);
  } else {
    b = static_cast<TBlock*>(std::malloc(bytes));
    if (!b) throw Exception(kErrOutOfMemory);
    new (&b->Refs) std::atomic<int32_t>(1);
    if (FSize > 0) std::memcpy(b->Bytes(), FMemory, static_cast<size_t>(std::min(FSize, ACapacity)));
    ReleaseBlock();
  }
  b->Capacity = ACapacity;
  FBlock = b;
  FMemory = b->Bytes();
  if (FSize > ACapacity) FSize = ACapacity;
}

uint8_t* TPacketMemoryStream::WritableUpTo(int64_t AEnd) {
  if (FReadOnly) throw EPacketError(kErrReadOnly);
  if (!FBlock || AEnd > FBlock->Capacity || FBlock->Refs.load(std::memory_order_acquire) != 1)
    SetCapacity(std::max(AEnd, FBlock ? FBlock->Capacity : 0));
  if (FPosition > FSize) {
    // Written past the end: the gap holds zeros, never old memory.
    std::memset(FMemory + FSize, 0, static_cast<size_t>(FPosition - FSize));
    FSize = FPosition;
  }
  return FMemory;
}

void TPacketMemoryStream::Reserve(int64_t ACapacity) {
  if (!FReadOnly && (!FBlock || ACapacity > FBlock->Capacity)) SetCapacity(ACapacity);
}

void TPacketMemoryStream::ViewOf(const TPacketMemoryStream& ASource, int64_t AOffset, int64_t ALen) {
  TBlock* b = ASource.FBlock;
  if (b) b->Refs.fetch_add(1, std::memory_order_relaxed);
  ReleaseBlock();
  FBlock = b;
  FMemory = ASource.FMemory ? const_cast<uint8_t*>(ASource.FMemory) + AOffset : nullptr;
  FSize = ALen;
  FPosition = 0;
  FReadOnly = true;
}

void TPacketMemoryStream::TakeOver(TPacketMemoryStream& AOther) noexcept {
  ReleaseBlock();
  FBlock = std::exchange(AOther.FBlock, nullptr);
  FMemory = std::exchange(AOther.FMemory, nullptr);
  FSize = std::exchange(AOther.FSize, 0);
  FPosition = std::exchange(AOther.FPosition, 0);
  FReadOnly = std::exchange(AOther.FReadOnly, false);
}

int64_t TPacketMemoryStream::Read(void* AData, int64_t ACount) {
  int64_t n = std::min(ACount, Remaining());
  if (n <= 0) return 0;
  std::memcpy(AData, FMemory + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

void TPacketMemoryStream::Write(const void* AData, int64_t ACount) {
  if (ACount <= 0) return;
  uint8_t* m = WritableUpTo(FPosition + ACount);
  std::memcpy(m + FPosition, AData, static_cast<size_t>(ACount));
  CommitWrite(FPosition + ACount);
}

void TPacketMemoryStream::SetSize(int64_t ASize) {
  if (ASize < 0) ASize = 0;
  if (FReadOnly) {
    // A view's bytes are borrowed: it can only shrink.
    if (ASize > FSize) throw EPacketError(kErrReadOnly);
  } else if (ASize > FSize) {
    uint8_t* m = WritableUpTo(ASize);
    std::memset(m + FSize, 0, static_cast<size_t>(ASize - FSize));
  } else if (FBlock && FBlock->Capacity > 1024 && ASize < FBlock->Capacity / 4 &&
             FBlock->Refs.load(std::memory_order_acquire) == 1) {
    FSize = ASize;
    SetCapacity(ASize);
  }
  FSize = ASize;
  if (FPosition > FSize) FPosition = FSize;
}

// ---- TDataStreamWriter ----

TDataStreamWriter::TDataStreamWriter(TStream* AStream, bool AOwnsStream, bool AMinimize)
    : FData(AStream),
      FMem(dynamic_cast<TPacketMemoryStream*>(AStream)),
      FOwnsStream(AOwnsStream),
      FMinimize(AMinimize) {}

TDataStreamWriter::~TDataStreamWriter() {
  if (FOwnsStream) delete FData;
}

bool TDataStreamWriter::Eof() { return FData->Position() >= FData->Size(); }
int32_t TDataStreamWriter::Pos() { return static_cast<int32_t>(FData->Position()); }
void TDataStreamWriter::Reset() { FData->SetPosition(0); }

int64_t TDataStreamWriter::Remaining() const {
  int64_t r = FData->Size() - FData->Position();
  return r > 0 ? r : 0;
}

void TDataStreamWriter::ReadExact(void* AData, int64_t ACount) {
  if (FData->Read(AData, ACount) != ACount) ShortRead();
}

void TDataStreamWriter::WriteBytes(const void* AData, int64_t ACount) { FData->Write(AData, ACount); }

int32_t TDataStreamWriter::GetAsInt() { return ReadAs<int32_t>(); }
uint16_t TDataStreamWriter::GetAsWord() { return ReadAs<uint16_t>(); }
uint32_t TDataStreamWriter::GetAsLongWord() { return ReadAs<uint32_t>(); }
uint8_t TDataStreamWriter::GetAsByte() { return ReadAs<uint8_t>(); }
bool TDataStreamWriter::GetAsBoolean() { return GetAsByte() != 0; }
double TDataStreamWriter::GetAsDouble() { return ReadAs<double>(); }
int64_t TDataStreamWriter::GetAsInt64() { return ReadAs<int64_t>(); }
uint64_t TDataStreamWriter::GetAsUInt64() { return ReadAs<uint64_t>(); }

std::string TDataStreamWriter::GetAsStr() {
  const int32_t n = GetAsInt();
  if (n <= 0) return {};
  if (n > Remaining()) ShortRead();
  std::string s(static_cast<size_t>(n), '\0');
  ReadExact(s.data(), n);
  return s;
}

void TDataStreamWriter::GetAsVar(Variant& AResult) {
  if (FMem) {
    const uint8_t* base = FMem->Memory();
    TMemorySource src(base + std::min(FMem->Position(), FMem->Size()), base + FMem->Size());
    TDecoder<TMemorySource> d(src);
    struct TSync {  // the position follows the decoder, also when it fails
      TPacketMemoryStream* S;
      TMemorySource& Src;
      const uint8_t* Base;
      ~TSync() { S->SetPosition(Src.Cursor() - Base); }
    } sync{FMem, src, base};
    AResult = d.Value();
    return;
  }
  TStreamSource src(*FData);
  TDecoder<TStreamSource> d(src);
  AResult = d.Value();
}

IPacketPtr TDataStreamWriter::GetAsPacket() {
  Variant v;
  GetAsVar(v);
  return VarToPacket(v);
}

void TDataStreamWriter::PutVar(const Variant& Value) {
  if (FMem) {
    TEncoder e(*FMem, FMinimize);
    e.Value(Value);
    return;
  }
  TPacketMemoryStream tmp;
  try {
    TEncoder e(tmp, FMinimize);
    e.Value(Value);
  } catch (...) {
    // What was written before the failure still reaches the stream, as on a memory stream.
    WriteBytes(tmp.Memory(), tmp.Size());
    throw;
  }
  WriteBytes(tmp.Memory(), tmp.Size());
}

void TDataStreamWriter::PutInt(int32_t Value) { WriteBytes(&Value, 4); }
void TDataStreamWriter::Put(bool Value) { PutByte(Value ? 1 : 0); }
void TDataStreamWriter::PutDouble(double Value) { WriteBytes(&Value, 8); }
void TDataStreamWriter::PutInt64(int64_t Value) { WriteBytes(&Value, 8); }
void TDataStreamWriter::PutUInt64(uint64_t Value) { WriteBytes(&Value, 8); }
void TDataStreamWriter::PutByte(uint8_t Value) { WriteBytes(&Value, 1); }
void TDataStreamWriter::PutWord(uint16_t Value) { WriteBytes(&Value, 2); }
void TDataStreamWriter::PutLongWord(uint32_t Value) { WriteBytes(&Value, 4); }

void TDataStreamWriter::Put(std::string_view Value) {
  if (Value.size() > static_cast<size_t>(kMaxStreamSize)) throw Exception(kErrOutOfMemory);
  PutInt(static_cast<int32_t>(Value.size()));
  WriteBytes(Value.data(), static_cast<int64_t>(Value.size()));
}

void TDataStreamWriter::PutConsts(std::span<const TConstArg> Args) {
  for (const TConstArg& a : Args) {
    switch (a.Kind) {
      case TConstArg::vtInteger: PutInt(static_cast<int32_t>(a.I)); break;
      case TConstArg::vtBoolean: Put(a.I != 0); break;
      case TConstArg::vtChar: PutByte(static_cast<uint8_t>(a.I)); break;
      case TConstArg::vtExtended: PutDouble(a.D); break;
      case TConstArg::vtCurrency: PutDouble(static_cast<double>(a.I) / 10000.0); break;
      case TConstArg::vtString:
      case TConstArg::vtAnsiString:
      case TConstArg::vtWideString:
      case TConstArg::vtUnicodeString: Put(a.S); break;
      case TConstArg::vtInt64: PutInt64(a.I); break;
      case TConstArg::vtVariant:
        if (VarIsPacket(*a.V))
          PutPacket(VarToPacket(*a.V));
        else
          PutVar(*a.V);
        break;
      case TConstArg::vtInterface:
        if (auto* p = dynamic_cast<IPacket*>(a.Intf)) {
          PutPacket(IPacketPtr(p));
          break;
        }
        if (auto* r = dynamic_cast<IRawPacket*>(a.Intf)) {
          PutPacket(IRawPacketPtr(r), false);
          break;
        }
        [[fallthrough]];
      default: throw Exception(Format(kErrConstArg, static_cast<unsigned>(a.Kind)));
    }
  }
}

void TDataStreamWriter::PutPacket(const IRawPacketPtr& Value, bool WithLen) {
  if (!Value) {
    if (WithLen) PutInt(0);
    return;
  }
  int32_t n = Value->Pos() > 0 ? Value->Pos() : Value->GetSize();
  if (WithLen) PutInt(n);
  // Copied first: the packet may be this one.
  std::string bytes(reinterpret_cast<const char*>(Value->RawData()), static_cast<size_t>(n));
  WriteBytes(bytes.data(), n);
}

void TDataStreamWriter::PutPacket(const IPacketPtr& Value) { PutVar(Variant(Value)); }

void TDataStreamWriter::PutCompressed(const void* Data, int32_t Len, TDataCompressionType ACompression) {
  if (!Data) return;
  if (FMem) return EncodeCompressed(*FMem, Data, Len, ACompression);
  TPacketMemoryStream tmp;
  EncodeCompressed(tmp, Data, Len, ACompression);
  WriteBytes(tmp.Memory(), tmp.Size());
}

void TDataStreamWriter::PutBuff(const void* Data, int32_t Len) {
  if (Data && Len > 0) WriteBytes(Data, Len);
}

IRawPacketPtr TDataStreamWriter::GetAsRawPacket(bool AReadLenFromData, int32_t ALen) {
  int64_t n;
  if (AReadLenFromData) {
    n = GetAsInt();
    if (n > Remaining()) ShortRead();
  } else {
    n = ALen <= 0 ? Remaining() : std::min<int64_t>(ALen, Remaining());
  }
  if (n < 1) return nullptr;
  auto raw = IRawPacketPtr::Adopt(new TRawPacket(static_cast<int32_t>(n)));
  ReadExact(const_cast<uint8_t*>(raw->RawData()), n);
  return raw;
}

TBytes TDataStreamWriter::GetCompressed(TDataCompressionType ACompression) {
  TBytesOutput out;
  ReadCompressed(ACompression, out);
  return std::move(out.Bytes);
}

void TDataStreamWriter::ReadCompressed(TDataCompressionType ACompression, TBlockOutput& AOut) {
  const int32_t len = GetAsInt();
  if (len <= 0) return;
  if (ACompression == dcSnappy) {
    if (len > Remaining()) ShortRead();
    if (FMem) {
      const uint8_t* p = FMem->Memory() + FMem->Position();
      FMem->SetPosition(FMem->Position() + len);
      return SnappyUncompress(p, static_cast<size_t>(len), AOut);
    }
    TBytes in(static_cast<size_t>(len));
    ReadExact(in.data(), len);
    return SnappyUncompress(in.data(), in.size(), AOut);
  }
  // zlib: the compressed length is not stored; the stream runs to where inflating ends.
  if (FMem) {
    const int64_t start = FMem->Position();
    size_t used = InflateExactly(FMem->Memory() + start, static_cast<size_t>(Remaining()), len, AOut);
    FMem->SetPosition(start + static_cast<int64_t>(used));
    return;
  }
  const int64_t start = FData->Position();
  TBytes in(static_cast<size_t>(Remaining()));
  ReadExact(in.data(), static_cast<int64_t>(in.size()));
  size_t used = InflateExactly(in.data(), in.size(), len, AOut);
  FData->SetPosition(start + static_cast<int64_t>(used));
}

void TDataStreamWriter::GetBuff(void* Data, int32_t ALen) {
  if (Data && ALen > 0) ReadExact(Data, ALen);
}

// ---- TRawPacket ----

TRawPacket::TRawPacket(int32_t ASize, bool AMinimize) : TDataStreamWriter(nullptr, false, AMinimize), FStream(ASize) {
  FData = &FStream;
  FMem = &FStream;
}

IRawPacketPtr TRawPacket::CreateCloned(const IRawPacketPtr& APacket, int32_t ALen) {
  auto* src = dynamic_cast<TRawPacket*>(APacket.get());
  if (!src) return nullptr;
  const int64_t from = std::min(src->FStream.Position(), src->FStream.Size());
  const int64_t n = std::clamp<int64_t>(ALen, 0, src->FStream.Size() - from);
  auto* v = new TRawPacket(0, src->FMinimize);
  auto view = IRawPacketPtr::Adopt(v);
  v->FStream.ViewOf(src->FStream, from, n);
  v->FCloned = APacket;
  return view;
}

IRawPacketPtr TRawPacket::FromBytes(std::string_view ABytes) {
  auto raw = IRawPacketPtr::Adopt(new TRawPacket(0));
  raw->PutBuff(ABytes.data(), static_cast<int32_t>(ABytes.size()));
  raw->Reset();
  return raw;
}

IRawPacketPtr TRawPacket::WithCapacity(int32_t ACapacity, bool AMinimize) {
  auto* r = new TRawPacket(0, AMinimize);
  auto raw = IRawPacketPtr::Adopt(r);
  r->FStream.Reserve(ACapacity);
  return raw;
}

void TRawPacket::Clear() {
  FStream.SetSize(0);
  FStream.SetPosition(0);
}

void TRawPacket::CompressData(TDataCompressionType Compression) {
  const int64_t len = std::min(FStream.Position(), FStream.Size());
  TPacketMemoryStream fresh;
  EncodeCompressed(fresh, FStream.Memory(), static_cast<int32_t>(len), Compression);
  // The new buffer is this packet's own: a view stops borrowing.
  FStream.TakeOver(fresh);
  FCloned = nullptr;
}

void TRawPacket::DecompressData(TDataCompressionType Compression) {
  TPacketMemoryStream fresh;
  TStreamOutput out(fresh);
  ReadCompressed(Compression, out);
  FStream.TakeOver(fresh);
  FCloned = nullptr;
}

int32_t TRawPacket::ReadFromStream(TStream& S, int32_t ASize) {
  if (ASize < 0) ASize = 0;
  FStream.SetPosition(0);
  FStream.SetSize(0);
  uint8_t* m = ASize > 0 ? FStream.WritableUpTo(ASize) : nullptr;
  const int64_t n = ASize > 0 ? S.Read(m, ASize) : 0;
  // Only what was read: no bytes that no one wrote.
  FStream.CommitWrite(n);
  return static_cast<int32_t>(n);
}

int32_t TRawPacket::WriteToStream(TStream& S, int32_t ASize) {
  const int64_t n = std::clamp<int64_t>(ASize, 0, FStream.Size());
  S.Write(FStream.Memory(), n);
  return static_cast<int32_t>(n);
}

IRawPacketPtr TRawPacket::GetAsPacketClone(int32_t ALen) {
  const int64_t remaining = FStream.Remaining();
  if (remaining <= 0) return nullptr;
  const int64_t n = ALen <= 0 ? remaining : std::min<int64_t>(ALen, remaining);
  IRawPacketPtr view = CreateCloned(IRawPacketPtr(this), static_cast<int32_t>(n));
  FStream.SetPosition(FStream.Position() + n);
  return view;
}

void TRawPacket::SetSize(int32_t ASize) { FStream.SetSize(ASize); }

// ---- the channel format ----

IRawPacketPtr PacketToRawChannelFormat(const IPacketPtr& Data, std::optional<TDataCompressionType> ACompression) {
  // Room for a reply line at once; larger packets grow the buffer geometrically, which costs less
  // than walking the whole tree first for its DataSize.
  IRawPacketPtr raw = TRawPacket::WithCapacity(kChannelInitialCapacity, true);
  raw->PutVar(Variant(Data));
  if (ACompression) raw->CompressData(*ACompression);
  return raw;
}

IPacketPtr RawChannelFormatToPacket(const IRawPacketPtr& Bytes, std::optional<TDataCompressionType> ACompression) {
  if (!Bytes) return nullptr;
  if (ACompression) Bytes->DecompressData(*ACompression);
  return Bytes->GetAsPacket();
}

std::string PacketToRawBytes(const IPacketPtr& Data, std::optional<TDataCompressionType> ACompression) {
  return PacketToRawChannelFormat(Data, ACompression)->Bytes();
}

IPacketPtr PacketFromRawBytes(std::string_view ABytes, std::optional<TDataCompressionType> ACompression) {
  return RawChannelFormatToPacket(TRawPacket::FromBytes(ABytes), ACompression);
}

}  // namespace vexor
