#pragma once
// The raw stream's reader over a memory range or any stream: one tagged value at a time, every
// length checked against what remains before anything is allocated. A decoder and its source
// belong to one thread.
#include <cstdint>
#include <string>

#include "packets/Packets.h"
#include "packets/internal/RawFormat.h"
#include "packets/raw/RawPacket.h"

namespace vexor {

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

}  // namespace vexor
