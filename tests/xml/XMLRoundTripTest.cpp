// Packet -> XML -> packet over generated packets: every kind of the kind table, nested typed and
// untyped packets, properties, arrays and empty packets come back equal, except for what the XML
// text cannot carry: white space around strings, the currency kind (its money text comes back as
// a string) and which of the three string kinds a text had.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "packets/json/PacketConversions.h"

namespace vexor {
namespace {

class TGenerator {
 public:
  explicit TGenerator(uint64_t ASeed) : FSeed(ASeed | 1) {}

  IPacketPtr Packet(int ADepth) {
    IPacketPtr p = NewPacket(Below(3) == 0 ? std::string() : Name());
    const int n = static_cast<int>(Below(ADepth > 0 ? 6 : 4));
    for (int i = 0; i < n; ++i) {
      switch (Below(ADepth > 0 ? 5 : 3)) {
        case 0:
        case 1: p->Put(Scalar()); break;
        case 2: p->PutProperty(Name(), Scalar()); break;
        case 3: p->Put(Variant(Packet(ADepth - 1))); break;
        default: p->Put(Array(ADepth - 1)); break;
      }
    }
    return p;
  }

 private:
  uint64_t FSeed;

  uint64_t Next() {
    FSeed ^= FSeed << 13;
    FSeed ^= FSeed >> 7;
    FSeed ^= FSeed << 17;
    return FSeed;
  }
  uint64_t Below(uint64_t N) { return Next() % N; }

  std::string Name() {
    static const char* kNames[] = {"a", "point", "Name", "x.y", "type", "ipacket", "with space", "q\"<&>'"};
    return kNames[Below(8)];
  }

  std::string Text() {
    static const char* kPieces[] = {
        "plain", " ",    "&",   "&amp;", "<",     ">", "\"",           "'",  "\xC2\xA0", "\xC3\xA9", "\xF0\x9F\x98\x80",
        "\t",    "\r\n", "]]>", "<!--",  "&#39;", "x", "\xEF\xBB\xBF", "?>", "/"};
    std::string s;
    for (uint64_t i = 0, n = Below(6); i < n; ++i) s += kPieces[Below(20)];
    return s;
  }

  Variant Scalar() {
    switch (Below(19)) {
      case 0: return Variant(static_cast<unsigned short>(Below(65536)));
      case 1: return Variant(static_cast<short>(static_cast<int>(Below(65536)) - 32768));
      case 2: return Variant(static_cast<int>(Next()));
      case 3: return Variant(static_cast<float>(static_cast<int>(Below(2000)) - 1000) / 8.0f);
      case 4: return Variant(static_cast<double>(static_cast<int64_t>(Below(2000000)) - 1000000) / 1024.0);
      case 5: return Variant::CurrencyScaled(static_cast<int64_t>(Below(100000000)) - 50000000);
      case 6:
        // Whole milliseconds, in the daytime (away from summer-time changes), or a date alone.
        return Variant::Date(EncodeDateTime(1900 + static_cast<int>(Below(200)), 1 + static_cast<int>(Below(12)),
                                            1 + static_cast<int>(Below(28)),
                                            Below(2) ? 6 + static_cast<int>(Below(12)) : 0, static_cast<int>(Below(60)),
                                            static_cast<int>(Below(60)), static_cast<int>(Below(1000))));
      case 7: return Variant::Str(varOleStr, Text());
      case 8: return Variant::Str(varString, Text());
      case 9: return Variant(Text());
      case 10: return Variant(Below(2) == 0);
      case 11: return Variant(static_cast<unsigned char>(Below(256)));
      case 12: return Variant(static_cast<signed char>(static_cast<int>(Below(256)) - 128));
      case 13: return Variant(static_cast<unsigned>(Next()));
      case 14: return Variant(static_cast<long long>(Next()));
      case 15: return Variant(static_cast<unsigned long long>(Next()));
      case 16: return Variant::Null();
      case 17: return Variant(static_cast<long long>(Below(3)) - 1);
      default: return Variant(std::string());
    }
  }

  Variant Array(int ADepth) {
    TVariantArray items;
    const uint64_t n = Below(4);
    switch (Below(5)) {
      case 0:
        for (uint64_t i = 0; i < n; ++i) items.push_back(Variant(static_cast<int>(Next())));
        return Variant::Array(varInteger, std::move(items));
      case 1:
        for (uint64_t i = 0; i < n; ++i) items.push_back(Variant(Text()));
        return Variant::Array(varOleStr, std::move(items));
      case 2: {
        std::string bytes;
        for (uint64_t i = 0; i < n; ++i) bytes.push_back(static_cast<char>(Next()));
        return Variant::ByteArray(bytes);
      }
      case 3:
        for (uint64_t i = 0; i < n; ++i) items.push_back(Variant::CurrencyScaled(static_cast<int64_t>(Below(1000000))));
        return Variant::Array(varCurrency, std::move(items));
      default:
        for (uint64_t i = 0; i < n; ++i)
          items.push_back(ADepth > 0 && Below(3) == 0 ? Variant(Packet(ADepth - 1))
                          : Below(4) == 0             ? Array(ADepth - 1)
                                                      : Scalar());
        return Variant::Array(varVariant, std::move(items));
    }
  }
};

bool IsStringKind(TVarType K) { return K == varOleStr || K == varString || K == varUString; }

std::string TrimXmlSpace(std::string_view S) {
  const char* ws = " \t\r\n";
  const size_t b = S.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  return std::string(S.substr(b, S.find_last_not_of(ws) - b + 1));
}

// What a value is expected to be after the trip.
Variant Expected(const Variant& V) {
  if (VarIsPacket(V)) {
    IPacket* p = VarPacketRef(V);
    IPacketPtr e = NewPacket(std::string(p->GetTypeName()));
    for (const Variant& v : p->__RawData()) e->__RawData().push_back(Expected(v));
    return Variant(e);
  }
  if (V.IsArray()) {
    if (V.ElementKind() == varByte) return V;
    TVariantArray items;
    for (const Variant& v : V.ArrayItems()) items.push_back(Expected(v));
    // Money texts keep a non-empty currency array from converting back: it holds them as variants.
    if (V.ElementKind() == varCurrency && !items.empty()) return Variant::Array(varVariant, std::move(items));
    return Variant::Array(IsStringKind(V.ElementKind()) ? varOleStr : V.ElementKind(), std::move(items));
  }
  if (IsStringKind(V.Kind())) return Variant(TrimXmlSpace(V.StrRef()));
  if (V.Kind() == varCurrency) {
    std::string money = "\"";
    AppendMoneyText(money, V.AsCurrencyScaled());
    return Variant(money + "\"");
  }
  return V;
}

// Equal kinds and payloads; the three string kinds count as one.
bool Same(const Variant& A, const Variant& B, std::string& AWhy) {
  const bool pa = VarIsPacket(A), pb = VarIsPacket(B);
  if (pa || pb) {
    IPacket* a = pa ? VarPacketRef(A) : nullptr;
    IPacket* b = pb ? VarPacketRef(B) : nullptr;
    if (!a || !b || a->GetTypeName() != b->GetTypeName() || a->GetCount() != b->GetCount()) {
      AWhy = "packet differs";
      return false;
    }
    for (int32_t i = 0; i < a->GetCount(); ++i)
      if (!Same(a->__RawData()[i], b->__RawData()[i], AWhy)) return false;
    return true;
  }
  const bool sa = IsStringKind(A.Kind()) && !A.IsArray(), sb = IsStringKind(B.Kind()) && !B.IsArray();
  if (sa || sb) {
    if (sa && sb && A.StrRef() == B.StrRef()) return true;
    AWhy = "text differs: [" + (sa ? std::string(A.StrRef()) : "?") + "] vs [" + (sb ? std::string(B.StrRef()) : "?") +
           "]";
    return false;
  }
  if (A.Kind() != B.Kind()) {
    AWhy = "kind " + std::to_string(A.Kind()) + " vs " + std::to_string(B.Kind());
    return false;
  }
  if (A.IsArray()) {
    TVariantArray x = A.ArrayItems(), y = B.ArrayItems();
    if (x.size() != y.size()) {
      AWhy = "array length differs";
      return false;
    }
    for (size_t i = 0; i < x.size(); ++i)
      if (!Same(x[i], y[i], AWhy)) return false;
    return true;
  }
  if (!A.SameValue(B)) {
    AWhy = "value differs: " + A.AsString() + " vs " + B.AsString();
    return false;
  }
  return true;
}

TEST(XMLRoundTripTest, GeneratedPacketsComeBackAsTheTextCarriesThem) {
  for (uint64_t seed = 1; seed <= 1500; ++seed) {
    TGenerator g(seed * 0x9E3779B97F4A7C15ull);
    IPacketPtr p = g.Packet(3);
    const Variant expected = Expected(Variant(p));
    for (bool readable : {false, true}) {
      const std::string text = TPacketConversions::PacketAsXML(p, readable);
      IPacketPtr back = TPacketConversions::PacketFromXML(text);
      ASSERT_TRUE(back) << text;
      std::string why;
      ASSERT_TRUE(Same(expected, Variant(back), why)) << "seed " << seed << ": " << why << "\n" << text;
      // What came back makes the trip unchanged.
      const std::string again = TPacketConversions::PacketAsXML(back, readable);
      ASSERT_EQ(TPacketConversions::PacketAsXML(TPacketConversions::PacketFromXML(again), readable), again)
          << "seed " << seed;
    }
  }
}

}  // namespace
}  // namespace vexor
