#include "packets/xml/XMLConverter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "platform/Exceptions.h"
#include "packets/internal/PacketsInternal.h"
#include "packets/xml/TagTokenizer.h"

namespace vexor {

namespace {

constexpr std::string_view kPacketTag = "ipacket";

[[noreturn]] void InvalidKind(TVarType AKind) {
  char buf[8];
  auto r = std::to_chars(buf, buf + sizeof buf, AKind, 16);
  throw Exception("Invalid variant type for XML conversion: $" + std::string(buf, r.ptr));
}

bool IsStringKind(TVarType K) { return K == varOleStr || K == varString || K == varUString; }

}  // namespace

// ---- writer ----

void TXMLConverter::Ind(int ALevel) {
  if (!FReadable || ALevel <= 0) return;
  FOut.append("\r\n", 2);
  FOut.append(static_cast<size_t>(ALevel), ' ');
}

std::string TXMLConverter::Convert(const IPacketPtr& AData) {
  // The last text's length on this thread guesses the next one's: growing a large text copies it
  // and touches fresh pages at every step.
  TW_PROGRAM_TLS thread_local size_t tLastSize = 512;
  FOut.clear();
  FOut.reserve(tLastSize + tLastSize / 8);
  if (AData) WritePacket(AData.get(), 0);
  tLastSize = std::clamp<size_t>(FOut.size(), 512, size_t(64) << 20);
  ReleaseSpareRoom(FOut);
  return std::move(FOut);
}

std::string TXMLConverter::ToXML(const IPacketPtr& AData, bool Readable) {
  TXMLConverter c(Readable);
  return c.Convert(AData);
}

void TXMLConverter::WritePacket(IPacket* P, int L) {
  P->Reset();
  Ind(L);
  if (P->IsTyped()) {
    // The type name is escaped (and decoded by the reader): a quote or "<" in it would otherwise
    // break the element.
    FOut.append("<ipacket name=\"");
    AppendEncodedEntities(FOut, P->GetTypeName(), false);
    FOut.append("\">");
  } else {
    FOut.append("<ipacket>");
  }
  for (const Variant& v : P->__RawData()) WriteValue(v, L + 2);
  Ind(L);
  FOut.append("</ipacket>");
}

void TXMLConverter::WriteValue(const Variant& V, int L) {
  if (VarIsPacket(V)) {
    if (IPacket* p = VarPacketRef(V)) {
      WritePacket(p, L + 1);
    } else {
      IPacketPtr empty = NewPacket();
      WritePacket(empty.get(), L + 1);
    }
    return;
  }
  if (V.IsArray()) {
    if (V.ElementKind() == varVariant) {
      Ind(L);
      FOut.append("<array-var>");
      for (const Variant& e : V.ArrayRef()) WriteValue(e, L + 2);
      Ind(L);
      FOut.append("</array-var>");
      return;
    }
    const TVarKindInfo* row = getVarInfo(V.ElementKind());
    if (!row) InvalidKind(V.Kind());
    Ind(L);
    FOut.append("<array-").append(row->TypeName).push_back('>');
    for (size_t i = 0, n = V.ArrayCount(); i < n; ++i) {
      Ind(L + 2);
      WriteScalar(*row, V.ArrayItem(i));
    }
    Ind(L);
    FOut.append("</array-").append(row->TypeName).push_back('>');
    return;
  }
  const TVarKindInfo* row = getVarInfo(V.Kind());
  if (!row) InvalidKind(V.Kind());
  Ind(L);
  WriteScalar(*row, V);
}

void TXMLConverter::WriteScalar(const TVarKindInfo& ARow, const Variant& V) {
  if (!ARow.Format) {
    FOut.push_back('<');
    FOut.append(ARow.TypeName);
    FOut.append("/>");
    return;
  }
  const std::string_view f = ARow.Format;
  FOut.push_back('<');
  FOut.append(ARow.TypeName);
  FOut.push_back('>');
  if (f == "%d") {
    char buf[24];
    auto r = V.Kind() == varUInt64 ? std::to_chars(buf, buf + sizeof buf, V.RawUInt64())
                                   : std::to_chars(buf, buf + sizeof buf, V.AsInt64());
    FOut.append(buf, r.ptr);
  } else if (f == "%s") {
    if (V.IsString())
      AppendEncodedEntities(FOut, V.StrRef(), false);
    else
      AppendEncodedEntities(FOut, V.AsString(), false);
  } else if (f == "%g") {
    const double d = V.Kind() == varSingle ? static_cast<double>(V.RawSingle()) : V.AsDouble();
    AppendFloatG(FOut, d);
  } else if (f == "%b") {
    FOut.append(V.AsBoolean() ? "true" : "false");
  } else if (f == "%m") {
    FOut.push_back('"');
    AppendMoneyText(FOut, V.AsCurrencyScaled());
    FOut.push_back('"');
  } else if (f == "dt") {
    FOut.append(FixedDateTimeToISOStr(V.AsDateTime()));
  } else {
    throw Exception("Invalid Format");
  }
  FOut.append("</");
  FOut.append(ARow.TypeName);
  FOut.push_back('>');
}

// ---- reader ----

namespace {

// Maps the tokenizer's events straight to values, as walking the parsed tree would: the first
// top-level node gives the result; an "ipacket" element a packet of its children; an element
// naming "null" null; an "array-<kind>" element an array of its children; any other element the
// text of its first child converted to the kind its name gives.
class TPacketSink {
 public:
  static constexpr bool kWantsWarnings = false;

  void Warning(std::string) {}

  bool Done() const { return FTopDone; }

  void Open(std::string_view AName, std::string_view AAttributes, bool) {
    if (FFrames.size() >= TXMLConverter::kMaxXMLDepth) throw Exception(kErrXMLTooDeep);
    if (FFrames.empty()) {
      FTopSeen = true;
      if (FTopDone)
        Push(fkSkip);
      else
        PushMapped(AName, AAttributes);
      return;
    }
    TFrame& parent = FFrames.back();
    switch (parent.Kind) {
      case fkPacket:
      case fkArray: return PushMapped(AName, AAttributes);
      case fkScalar:
        if (!parent.HasChild) {
          parent.HasChild = true;  // an element's own text is empty
          parent.Text.clear();
        }
        [[fallthrough]];
      default: Push(fkSkip); return;
    }
  }

  void Close(bool) {
    if (FFrames.empty()) return;
    TFrame& f = FFrames.back();
    Variant v;
    bool deliver = true;
    switch (f.Kind) {
      case fkPacket:
        v = Variant(f.Packet);
        f.Packet = nullptr;
        break;
      case fkArray: v = ArrayValue(f); break;
      case fkScalar: v = ScalarValue(f); break;
      case fkNull: v = Variant::Null(); break;
      default: deliver = false; break;
    }
    FFrames.pop_back();
    if (deliver) Deliver(std::move(v));
  }

  void Leaf(int32_t, std::string_view, std::string_view AText) {
    if (FFrames.empty()) {
      // A prolog, comment or text first: no packet.
      FTopSeen = FTopDone = true;
      return;
    }
    TFrame& parent = FFrames.back();
    switch (parent.Kind) {
      case fkPacket: parent.Packet->__RawData().emplace_back(Variant::Null()); break;
      case fkArray: parent.Items.emplace_back(Variant::Null()); break;
      case fkScalar:
        if (!parent.HasChild) {
          parent.HasChild = true;
          parent.Text.assign(AText);
        }
        break;
      default: break;
    }
  }

  IPacketPtr Result() {
    if (!FTopSeen) throw Exception(kErrInvalidXML);
    return VarToPacket(FResult);
  }

 private:
  enum TFrameKind : uint8_t { fkPacket, fkArray, fkScalar, fkNull, fkSkip };
  struct TFrame {
    TFrameKind Kind = fkSkip;
    bool HasChild = false;
    TVarType VarKind = varNull;
    IPacketPtr Packet;
    TVariantArray Items;
    std::string Text;
  };

  std::vector<TFrame> FFrames;
  Variant FResult;
  bool FTopSeen = false, FTopDone = false;

  TFrame& Push(TFrameKind AKind) {
    TFrame& f = FFrames.emplace_back();
    f.Kind = AKind;
    return f;
  }

  static TVarType KindNamed(std::string_view AName) {
    const TVarKindInfo* row = TCustomConverter::getVarInfoByName(AName);
    return row ? row->Code : varNull;
  }

  void PushMapped(std::string_view AName, std::string_view AAttributes) {
    if (AName == kPacketTag) {
      std::string name;
      tagtext::ForEachAttribute(AAttributes, [&name](std::string_view N, std::string_view V, bool AHasValue) {
        if (AHasValue && name.empty() && SameName(N, "name")) name = DecodeEntities(V);
      });
      Push(fkPacket).Packet = NewPacket(std::move(name));
      return;
    }
    if (AName.find("null") != std::string_view::npos) {
      Push(fkNull);
      return;
    }
    if (AName.find("array") != std::string_view::npos) {
      const size_t dash = AName.find('-');
      const std::string_view kind = dash == std::string_view::npos ? std::string_view() : AName.substr(dash + 1);
      Push(fkArray).VarKind = SameName(kind, "var") ? varVariant : KindNamed(kind);
      return;
    }
    const TVarType kind = KindNamed(AName);
    if (kind == varNull) {
      Push(fkNull);
      return;
    }
    Push(fkScalar).VarKind = kind;
  }

  void Deliver(Variant&& V) {
    if (FFrames.empty()) {
      FResult = std::move(V);
      FTopDone = true;
      return;
    }
    TFrame& parent = FFrames.back();
    if (parent.Kind == fkPacket)
      parent.Packet->__RawData().emplace_back(std::move(V));
    else if (parent.Kind == fkArray)
      parent.Items.emplace_back(std::move(V));
  }

  static Variant ArrayValue(TFrame& F) {
    if (F.VarKind != varCurrency) return Variant::Array(F.VarKind, std::move(F.Items));
    // Money texts (see ScalarValue) do not convert back: such an array keeps them as variants.
    try {
      return Variant::Array(varCurrency, F.Items);
    } catch (const Exception&) {
      return Variant::Array(varVariant, std::move(F.Items));
    }
  }

  static Variant ScalarValue(const TFrame& F) {
    // An element without children is an empty string, whatever its kind.
    if (!F.HasChild) return Variant(std::string_view());
    const std::string_view t = F.Text;
    const TVarType k = F.VarKind;
    if (IsStringKind(k)) return Variant(t);
    switch (k) {
      case varDate: {
        TDateTime d;
        if (TCustomConverter::TryRecogniseDateTime(t, d)) return Variant::Date(d);
        break;
      }
      case varDouble: {
        double d;
        if (TryParseDouble(t, d)) return Variant(d);
        break;
      }
      case varBoolean:
        if (t == "true") return Variant(true);
        if (t == "false") return Variant(false);
        break;
      case varInt64:
      case varInteger:
      case varSmallint:
      case varShortInt:
      case varByte:
      case varWord:
      case varLongWord: {
        int64_t i;
        if (TryParseInt64(t, i)) return Variant(static_cast<long long>(i)).ChangeType(k);
        break;
      }
      case varCurrency:
        // The writer puts money text in quotes, which no number conversion reads: such a value
        // comes back as its text rather than failing the whole packet.
        try {
          return Variant(t).ChangeType(k);
        } catch (const Exception&) {
          return Variant(t);
        }
      default: break;
    }
    return Variant(t).ChangeType(k);
  }
};

}  // namespace

IPacketPtr TXMLConverter::FromXML(std::string_view AText) {
  TPacketSink sink;
  TTagTokenizer<TPacketSink> t(AText, true, sink);
  t.Run();
  t.Finish();
  return sink.Result();
}

// ---- TPacketConversions ----

std::string TPacketConversions::PacketAsXML(const IPacketPtr& Data, bool Readable) {
  return KeepingCursor(Data, [&] { return TXMLConverter::ToXML(Data, Readable); });
}

IPacketPtr TPacketConversions::PacketFromXML(std::string_view XMLString) { return TXMLConverter::FromXML(XMLString); }

}  // namespace vexor
