#include "packets/internal/JSONReader.h"

#include <cstring>
#include <memory>

#include "packets/internal/NameSet.h"
#include "packets/internal/PacketsInternal.h"
#include "packets/json/CustomConverter.h"

namespace vexor {

namespace {

class TJSONReader {
 public:
  IPacketPtr Read(const simdjson::dom::element& ARoot) {
    using simdjson::dom::element_type;
    switch (ARoot.type()) {
      case element_type::OBJECT: return BuildObject(ARoot.get_object().value_unsafe());
      case element_type::ARRAY: {
        // An array of variants turned into a packet: its elements spliced at one level; mapped
        // objects are varPacket values, so they stay nested.
        IPacketPtr p = NewPacket();
        TPacketValues& data = p->__RawData();
        simdjson::dom::array a = ARoot.get_array().value_unsafe();
        data.reserve(a.size());
        for (simdjson::dom::element e : a) Append(e, data);
        return p;
      }
      default: return nullptr;
    }
  }

 private:
  // Appends E's value to AList (a TPacketValues or a TVariantArray), made in its place.
  template <class TList>
  void Append(const simdjson::dom::element& E, TList& AList) {
    using simdjson::dom::element_type;
    switch (E.type()) {
      case element_type::OBJECT:
        AList.emplace_back(Variant::TAdoptedPacket{varPacket, BuildObject(E.get_object().value_unsafe()).Detach()});
        return;
      case element_type::ARRAY: {
        simdjson::dom::array a = E.get_array().value_unsafe();
        TVariantArray items;
        items.reserve(a.size());
        for (simdjson::dom::element e : a) Append(e, items);
        AList.emplace_back(Variant::Array(varVariant, std::move(items)));
        return;
      }
      case element_type::INT64: AList.emplace_back(static_cast<long long>(E.get_int64().value_unsafe())); return;
      case element_type::UINT64:  // beyond the signed range
        AList.emplace_back(static_cast<double>(E.get_uint64().value_unsafe()));
        return;
      case element_type::DOUBLE: AList.emplace_back(E.get_double().value_unsafe()); return;
      case element_type::STRING: {
        std::string_view s = E.get_string().value_unsafe();
        TDateTime d;
        if (TCustomConverter::TryRecogniseDateTime(s, d))
          AList.emplace_back(Variant::Date(d));
        else
          AList.emplace_back(s);
        return;
      }
      case element_type::BOOL: AList.emplace_back(E.get_bool().value_unsafe()); return;
      case element_type::NULL_VALUE:
      default: AList.emplace_back(Variant::Null()); return;
    }
  }

  // Appends a member's value to a property's values, as PutValues(Variant) stores it.
  void MapInto(const simdjson::dom::element& E, TPacketValues& ADest) {
    using simdjson::dom::element_type;
    switch (E.type()) {
      case element_type::ARRAY: {
        simdjson::dom::array a = E.get_array().value_unsafe();
        ADest.reserve(ADest.size() + a.size());
        for (simdjson::dom::element e : a) Append(e, ADest);
        return;
      }
      case element_type::OBJECT: {
        simdjson::dom::object o = E.get_object().value_unsafe();
        if (o.size() == 1) {
          ADest.emplace_back(Variant::TAdoptedPacket{varPacket, BuildObject(o).Detach()});
        } else {
          // An untyped object: its properties become the property's own values.
          FillMembers(o, ADest, varPacket);
        }
        return;
      }
      default: Append(E, ADest);
    }
  }

  IPacketPtr BuildObject(const simdjson::dom::object& O) {
    if (O.size() == 1) {
      auto member = *O.begin();
      if (member.key.empty()) return BuildObjectFrom(O);
      IPacketPtr p = NewPacket(std::string(member.key));
      MapInto(member.value, p->__RawData());
      return p;
    }
    return BuildObjectFrom(O);
  }

  IPacketPtr BuildObjectFrom(const simdjson::dom::object& O) {
    IPacketPtr p = NewPacket();
    FillMembers(O, p->__RawData(), varUnknown);
    // Repeated or empty names can leave a single typed packet: the object then stands for it,
    // as an object with that one member would.
    if (p->GetCount() == 1) {
      IPacket* only = VarPacketRef(p->__RawData()[0]);
      if (only && only->IsTyped()) return IPacketPtr(only);
    }
    return p;
  }

  // Stores each member as a property; a repeated name (ignoring case) refills the first one.
  void FillMembers(const simdjson::dom::object& O, TPacketValues& ADest, TVarType AKind) {
    size_t n = O.size();
    size_t first = ADest.size();
    ADest.reserve(first + n);
    TNameSet seen(n);
    for (auto member : O) {
      std::string_view key = member.key;
      if (key.empty()) {
        // A property without a name would be an untyped packet, which reads as a plain list of
        // values and would not survive writing: its values join the object's own.
        MapInto(member.value, ADest);
        continue;
      }
      if (seen.Insert(key)) {
        for (size_t i = first; i < ADest.size(); ++i) {
          IPacket* q = VarPacketRef(ADest[i]);
          if (q && SameName(q->GetTypeName(), key)) {
            q->Clear();
            MapInto(member.value, q->__RawData());
            break;
          }
        }
        continue;
      }
      auto* prop = new TPropertyPacket(key);
      // The value takes over the creator's reference; kind 13 as stored properties are.
      ADest.emplace_back(Variant::TAdoptedPacket{AKind, prop});
      MapInto(member.value, prop->__RawData());
    }
  }
};

// Each thread's parser and a padded copy of the text it reads. The parser reads a little past
// the text's end; given an unpadded text it would copy it into a new buffer on every call. The
// buffer grows as texts grow (the parser keeps capacity for the largest text anyway).
struct TThreadReader {
  simdjson::dom::parser Parser;
  std::unique_ptr<char[]> Buffer;
  size_t Capacity = 0;
};

// Texts up to this size leave the parser and the copy in place for the thread's next text; after
// a larger one they are given back, so that a thread which once read a large text does not hold
// about three times its size (copy, tape, strings) for the rest of its life.
constexpr size_t kKeptReaderCapacity = size_t(4) << 20;

TThreadReader& ThreadReader() {
  TW_PROGRAM_TLS thread_local TThreadReader t;
  return t;
}

}  // namespace

// The parser refuses whole numbers beyond 64 bits (above the unsigned range, below the signed
// one); they are read as doubles instead, by marking each such integer token (outside strings)
// with a fraction and parsing again.
bool WidenBigIntegers(std::string_view AText, std::string& AOut) {
  bool changed = false;
  bool inString = false;
  size_t copied = 0;
  for (size_t i = 0; i < AText.size(); ++i) {
    char c = AText[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
      continue;
    }
    if (c == '"') {
      inString = true;
      continue;
    }
    bool tokenStart = i == 0 || std::strchr("[,: \t\r\n", AText[i - 1]) != nullptr;
    if (!tokenStart || !((c >= '0' && c <= '9') || c == '-')) continue;
    size_t j = c == '-' ? i + 1 : i;
    size_t digits = j;
    while (j < AText.size() && AText[j] >= '0' && AText[j] <= '9') ++j;
    digits = j - digits;
    bool plain = j == AText.size() || !std::strchr(".eE", AText[j]);
    // Below the signed range with 19 digits already (JSON has no leading zeros).
    bool tooLow = c == '-' && (digits > 19 || (digits == 19 && AText.substr(i + 1, 19) > "9223372036854775808"));
    if ((digits >= 20 || tooLow) && plain) {
      AOut.append(AText.substr(copied, j - copied));
      AOut += ".0";
      copied = j;
      changed = true;
    }
    i = j - 1;
  }
  AOut.append(AText.substr(copied));
  return changed;
}

simdjson::simdjson_result<simdjson::dom::element> ParsePadded(std::string_view AText) {
  TThreadReader& t = ThreadReader();
  const size_t need = AText.size() + simdjson::SIMDJSON_PADDING;
  if (need > t.Capacity) {
    t.Buffer.reset(new char[need]);
    t.Capacity = need;
  }
  std::memcpy(t.Buffer.get(), AText.data(), AText.size());
  std::memset(t.Buffer.get() + AText.size(), 0, simdjson::SIMDJSON_PADDING);
  return t.Parser.parse(t.Buffer.get(), AText.size(), false);
}

TReaderRelease::~TReaderRelease() {
  TThreadReader& t = ThreadReader();
  if (t.Capacity <= kKeptReaderCapacity) return;
  t.Parser = simdjson::dom::parser();
  t.Buffer.reset();
  t.Capacity = 0;
}

IPacketPtr PacketFromJSONRoot(const simdjson::dom::element& ARoot) {
  TJSONReader reader;
  return reader.Read(ARoot);
}

}  // namespace vexor
