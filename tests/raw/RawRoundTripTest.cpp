// Round trips over generated packets: every kind of the tag table, nested and typed packets,
// arrays, empty packets; plain, minimized and in zlib and Snappy blocks. What comes back is the
// packet with the stream's documented kind changes applied (zero and -1 short forms, texts as
// strings, minimized integers), compared kind by kind.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "packets/raw/RawPacket.h"

using namespace vexor;

namespace {

class TGenerator {
 public:
  explicit TGenerator(uint64_t ASeed) : FSeed(ASeed | 1) {}

  uint64_t Next() {
    FSeed ^= FSeed << 13;
    FSeed ^= FSeed >> 7;
    FSeed ^= FSeed << 17;
    return FSeed;
  }
  int64_t Int(int64_t ALo, int64_t AHi) {
    return ALo + static_cast<int64_t>(Next() % static_cast<uint64_t>(AHi - ALo + 1));
  }
  // Integers around the short forms and the minimizing bounds more often than elsewhere.
  int64_t Interesting() {
    static const int64_t kEdges[] = {0,     -1,   1,    254,  255,        256,        65534,         65535,
                                     65536, -126, -127, -128, 2147483646, 2147483647, -2147483648LL, 4294967295LL};
    return Next() % 2 ? kEdges[Next() % std::size(kEdges)] : static_cast<int64_t>(Next());
  }
  std::string Text() {
    static const size_t kLengths[] = {0, 1, 5, 255, 256, 1000};
    static const char* kPieces[] = {"a", "é", "日本", "\"q\"", " ", "\n"};
    size_t n = kLengths[Next() % std::size(kLengths)];
    std::string s;
    while (s.size() < n) s += kPieces[Next() % std::size(kPieces)];
    if (s.size() > n) s.resize(n);  // may cut a sequence: raw texts are bytes
    return s;
  }

  Variant Scalar() {
    switch (Next() % 22) {
      case 0: return Variant();
      case 1: return Variant::Null();
      case 2: return Variant(static_cast<short>(Interesting()));
      case 3: return Variant(static_cast<int>(Interesting()));
      case 4: return Variant(static_cast<float>(Int(-4000, 4000)) / 8.0f);
      case 5: return Variant(static_cast<double>(Interesting()) / 3.0);
      case 6: return Variant::CurrencyScaled(Int(-100000000000LL, 100000000000LL) * (Next() % 2));
      case 7: return Variant::Date(45000.25 + static_cast<double>(Int(0, 1000)));
      case 8: return Variant::Str(varOleStr, Text());
      case 9: return Variant(Next() % 2 == 0);
      case 10: return Variant(static_cast<signed char>(Interesting()));
      case 11: return Variant(static_cast<unsigned char>(Interesting()));
      case 12: return Variant(static_cast<unsigned short>(Interesting()));
      case 13: return Variant(static_cast<unsigned>(Interesting()));
      case 14: return Variant(static_cast<long long>(Interesting()));
      case 15: return Variant(static_cast<unsigned long long>(Interesting()));
      case 16: return Variant::Str(varString, Text());
      case 17: return Variant(Text());
      case 18: return Variant(0.0);
      case 19: return Variant(-1.0);
      case 20: return Variant(-1);
      default: return Variant(0);
    }
  }

  Variant ScalarArray() {
    static const TVarType kElems[] = {varInt64,   varByte, varSingle,   varShortInt, varDouble,   varDate,
                                      varBoolean, varWord, varLongWord, varInteger,  varSmallint, varUInt64};
    const TVarType elem = kElems[Next() % std::size(kElems)];
    TVariantArray items;
    for (int64_t i = Int(0, 6); i > 0; --i) {
      if (elem == varBoolean)
        items.emplace_back(Next() % 2 == 0);
      else if (elem == varSingle || elem == varDouble || elem == varDate)
        items.emplace_back(static_cast<double>(Int(-1000, 1000)) / 4.0);
      else if (elem == varByte)
        items.emplace_back(static_cast<long long>(Int(0, 255)));
      else if (elem == varShortInt)
        items.emplace_back(static_cast<long long>(Int(-128, 127)));
      else if (elem == varWord || elem == varLongWord || elem == varUInt64)
        items.emplace_back(static_cast<long long>(Int(0, 65535)));
      else
        items.emplace_back(static_cast<long long>(Int(-32768, 32767)));
    }
    return Variant::Array(elem, std::move(items));
  }

  Variant Value(int ADepth) {
    const uint64_t pick = Next() % 10;
    if (ADepth < 4 && pick == 0) return Variant(Packet(ADepth + 1));
    if (ADepth < 4 && pick == 1) {  // stored as a plain interface value (kind 13)
      IPacketPtr p = Packet(ADepth + 1);
      return Variant::PacketObject(varUnknown, p.get());
    }
    if (pick == 2) return ScalarArray();
    if (ADepth < 4 && pick == 3) {
      TVariantArray items;
      for (int64_t i = Int(0, 4); i > 0; --i) items.push_back(Value(ADepth + 1));
      return Variant::Array(varVariant, std::move(items));
    }
    if (pick == 4) {
      TVariantArray items;
      for (int64_t i = Int(0, 3); i > 0; --i) items.emplace_back(Text());
      return Variant::Array(varOleStr, std::move(items));
    }
    return Scalar();
  }

  IPacketPtr Packet(int ADepth) {
    static const char* kNames[] = {"", "", "rec", "a.b", "名前", "x"};
    IPacketPtr p = NewPacket(kNames[Next() % std::size(kNames)]);
    for (int64_t i = Int(0, ADepth == 0 ? 12 : 5); i > 0; --i) p->__RawData().push_back(Value(ADepth));
    return p;
  }

 private:
  uint64_t FSeed;
};


// What the stream gives back for a value.
Variant Expected(const Variant& V, bool AMinimize);

IPacketPtr ExpectedPacket(IPacket* P, bool AMinimize) {
  IPacketPtr r = NewPacket(P ? std::string(P->GetTypeName()) : std::string());
  if (P)
    for (const Variant& v : P->__RawData()) r->__RawData().push_back(Expected(v, AMinimize));
  return r;
}

Variant Expected(const Variant& V, bool AMinimize) {
  const TVarType k = V.Kind();
  if (VarIsPacket(V)) return Variant(ExpectedPacket(V.PacketRef(), AMinimize));
  if (V.IsOrdinal() || k == varSingle || k == varDouble || k == varCurrency) {
    const bool zero = k == varSingle ? V.RawSingle() == 0 : k == varDouble ? V.RawDouble() == 0 : V.RawInt64() == 0;
    if (zero) return Variant(static_cast<unsigned char>(0));
  }
  if (V.IsOrdinal()) {
    int64_t x = V.RawInt64();
    TVarType kind = k;
    if (AMinimize && (k == varInteger || k == varWord || k == varInt64)) {
      if (x >= 0 && x <= 254)
        kind = varByte;
      else if (x >= 255 && x <= 65534)
        kind = varWord;
      else if (x >= -126 && x <= -1)
        kind = varShortInt;
      else if (k == varInt64 && x >= 65535 && x <= 2147483646)
        kind = varInteger;
    }
    if (x == -1 && (kind == varInteger || kind == varShortInt || kind == varInt64))
      return Variant(static_cast<signed char>(-1));
    if (kind == varUInt64) return Variant(static_cast<unsigned long long>(x));
    return Variant(static_cast<long long>(x)).ChangeType(kind);
  }
  if (V.IsString()) {
    const bool plain = V.StrRef().size() <= 255 || k != varString;
    return plain ? Variant(V.StrRef()) : V;
  }
  if (k == (varArray | varVariant) || k == (varArray | varOleStr)) {
    TVariantArray items;
    for (const Variant& e : V.ArrayRef()) items.push_back(Expected(e, AMinimize));
    return Variant::Array(varVariant, std::move(items));
  }
  return V;
}

// Same kinds and values all the way down.
::testing::AssertionResult SameDeep(const Variant& A, const Variant& B, const std::string& APath) {
  if (A.Kind() != B.Kind())
    return ::testing::AssertionFailure() << APath << ": kind " << A.Kind() << " != " << B.Kind();
  if (IPacket* pa = VarPacketRef(A)) {
    IPacket* pb = VarPacketRef(B);
    if (!pb || pa->GetTypeName() != pb->GetTypeName() || pa->__RawData().size() != pb->__RawData().size())
      return ::testing::AssertionFailure() << APath << ": packets differ in type name or count";
    for (size_t i = 0; i < pa->__RawData().size(); ++i) {
      auto r = SameDeep(pa->__RawData()[i], pb->__RawData()[i], APath + "/" + std::to_string(i));
      if (!r) return r;
    }
    return ::testing::AssertionSuccess();
  }
  if (A.IsArray() && A.ElementKind() == varVariant) {
    if (A.ArrayCount() != B.ArrayCount()) return ::testing::AssertionFailure() << APath << ": array counts differ";
    for (size_t i = 0; i < A.ArrayCount(); ++i) {
      auto r = SameDeep(A.ArrayRef()[i], B.ArrayRef()[i], APath + "[" + std::to_string(i) + "]");
      if (!r) return r;
    }
    return ::testing::AssertionSuccess();
  }
  if (!A.SameValue(B)) return ::testing::AssertionFailure() << APath << ": values differ";
  return ::testing::AssertionSuccess();
}

TEST(RawRoundTripTest, GeneratedPacketsComeBackEqual) {
  const std::optional<TDataCompressionType> kCompressions[] = {std::nullopt, dcZLib, dcSnappy};
  for (uint64_t seed = 1; seed <= 150; ++seed) {
    TGenerator gen(seed * 0x9E3779B97F4A7C15ull);
    IPacketPtr p = gen.Packet(0);
    for (bool minimize : {false, true}) {
      const Variant expected = Expected(Variant(p), minimize);
      for (auto compression : kCompressions) {
        TRawPacket raw(0, minimize);
        raw.PutVar(Variant(p));
        if (compression) raw.CompressData(*compression);
        raw.Reset();
        if (compression) raw.DecompressData(*compression);
        IPacketPtr back = raw.GetAsPacket();
        ASSERT_TRUE(back);
        EXPECT_TRUE(raw.Eof());
        ASSERT_TRUE(SameDeep(expected, Variant(back),
                             "seed " + std::to_string(seed) + (minimize ? " min" : "") +
                                 (compression ? " c" + std::to_string(*compression) : "")));
      }
    }
  }
}

TEST(RawRoundTripTest, TheChannelFormatIsMinimizedAndSizedOnce) {
  TGenerator gen(42);
  for (int i = 0; i < 30; ++i) {
    IPacketPtr p = gen.Packet(0);
    const Variant expected = Expected(Variant(p), true);
    for (auto compression : {std::optional<TDataCompressionType>(), std::optional(dcZLib), std::optional(dcSnappy)}) {
      std::string bytes = PacketToRawBytes(p, compression);
      IPacketPtr back = PacketFromRawBytes(bytes, compression);
      ASSERT_TRUE(SameDeep(expected, Variant(back), "channel"));
    }
  }
  // No trailing bytes beyond the one value, however large the estimate.
  IPacketPtr small = NewPacketOf("", Variant(std::string(40, 'x')));
  EXPECT_EQ(PacketToRawBytes(small).size(), 9u + 2 + 40);
  // A value that holds no packet reads as none.
  EXPECT_FALSE(PacketFromRawBytes("\x0c\x05"));
}

}  // namespace
