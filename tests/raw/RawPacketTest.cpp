// The raw stream's bytes, its read-back kinds, its errors, views and compressed blocks.
#include <gtest/gtest.h>
#include <snappy-c.h>
#include <zlib.h>

#include <cstring>
#include <string>

#include "packets/raw/RawPacket.h"
#include "packets/json/PacketConversions.h"
#include "common/ErrorText.h"
#include "RawTestSupport.h"

using namespace vexor;
using vexor::testing::ErrorText;

namespace {

std::string Encode(const Variant& V, bool AMinimize = false) {
  TRawPacket raw(0, AMinimize);
  raw.PutVar(V);
  return raw.Bytes();
}

Variant Decode(std::string_view ABytes) {
  IRawPacketPtr raw = TRawPacket::FromBytes(ABytes);
  Variant v;
  raw->GetAsVar(v);
  return v;
}

std::string DoubleHex(double D) { return Hex(std::string_view(reinterpret_cast<const char*>(&D), 8)); }

std::string Json(const IPacketPtr& P) { return TPacketConversions::PacketAsJSON(P, false, true); }

Variant ArrayOf(TVarType AElem, TVariantArray AItems) { return Variant::Array(AElem, std::move(AItems)); }

TEST(RawPacketTest, ValuesAreWrittenWithTheirTagsAndShortForms) {
  const struct {
    const char* Name;
    Variant Value;
    bool Minimize;
    std::string Bytes;
  } cases[] = {
      {"integer zero", Variant(0), false, "1f"},
      {"double zero", Variant(0.0), false, "1f"},
      {"currency zero", Variant::CurrencyScaled(0), false, "1f"},
      {"integer -1", Variant(-1), false, "20"},
      {"int64 -1", Variant(-1LL), false, "20"},
      {"smallint -1 has no short form", Variant(short(-1)), false, "02 ff ff"},
      {"double -1", Variant(-1.0), false, "05 " + DoubleHex(-1.0)},
      {"integer 254 plain", Variant(254), false, "03 fe 00 00 00"},
      {"minimized 254", Variant(254), true, "0c fe"},
      {"minimized 255", Variant(255), true, "0d ff 00"},
      {"minimized 65535", Variant(65535), true, "03 ff ff 00 00"},
      {"minimized -126", Variant(-126), true, "0a 82"},
      {"minimized -127", Variant(-127), true, "03 81 ff ff ff"},
      {"minimized int64 65535", Variant(65535LL), true, "03 ff ff 00 00"},
      {"minimized int64 -127 stays int64", Variant(-127LL), true, "0f 81 ff ff ff ff ff ff ff"},
      {"minimized int64 2147483647 stays", Variant(2147483647LL), true, "0f ff ff ff 7f 00 00 00 00"},
      {"longword is not minimized", Variant(7u), true, "0e 07 00 00 00"},
      {"boolean true", Variant(true), false, "09 01"},
      {"single 1.5 widened", Variant(1.5f), false, "04 " + DoubleHex(1.5)},
      {"currency 1.25", Variant::CurrencyScaled(12500), false, "06 " + DoubleHex(1.25)},
      {"empty text", Variant(""), false, "21"},
      {"short text", Variant("ab"), false, "26 02 61 62"},
      {"255-byte text", Variant(std::string(255, 'x')), false, "26 ff " + Hex(std::string(255, 'x'))},
      {"256-byte text", Variant(std::string(256, 'x')), false, "12 00 01 00 00 " + Hex(std::string(256, 'x'))},
      {"256-byte OLE text", Variant::Str(varOleStr, std::string(256, 'y')), false,
       "08 00 01 00 00 " + Hex(std::string(256, 'y'))},
      {"256-byte 8-bit text", Variant::Str(varString, std::string(256, 'z')), false,
       "11 00 01 00 00 " + Hex(std::string(256, 'z'))},
      {"empty untyped packet", Variant(NewPacket()), false, "22 00 00 00 00 00 00 00 00"},
      {"null packet reference", Variant(IPacketPtr()), false, "22 00 00 00 00 00 00 00 00"},
      {"typed packet", Variant(NewPacketOf("ab", Variant(7))), true, "22 02 00 00 00 61 62 01 00 00 00 0c 07"},
      {"empty and null", Variant(), false, "00"},
      {"null", Variant::Null(), false, "01"},
      {"byte array", Variant::ByteArray(std::string_view("\x01\x02", 2)), false, "14 02 00 00 00 01 02"},
      {"boolean array", ArrayOf(varBoolean, {true, false}), false, "19 02 00 00 00 ff ff 00 00"},
      {"single array not widened", ArrayOf(varSingle, {1.5f}), false, "15 01 00 00 00 00 00 c0 3f"},
      {"smallint array", ArrayOf(varSmallint, {short(-2)}), false, "24 01 00 00 00 fe ff"},
      {"integer array", ArrayOf(varInteger, {1, -1}), false, "1c 02 00 00 00 01 00 00 00 ff ff ff ff"},
      {"variant array minimized", ArrayOf(varVariant, {300, Variant("a")}), true, "1d 02 00 00 00 0d 2c 01 26 01 61"},
      {"OLE string array", ArrayOf(varOleStr, {Variant("q")}), false, "1e 01 00 00 00 26 01 71"},
  };
  for (const auto& c : cases) EXPECT_EQ(Hex(Encode(c.Value, c.Minimize)), Hex(Unhex(c.Bytes))) << c.Name;
}

TEST(RawPacketTest, ShortFormsAndRenamedKindsReadBackAsTheirKindAndText) {
  const struct {
    const char* Bytes;
    TVarType Kind;
    const char* Text;
  } cases[] = {
      {"1f", varByte, "0"},
      {"20", varShortInt, "-1"},
      {"21", varUString, ""},
      {"26 02 68 69", varUString, "hi"},
      {"08 02 00 00 00 68 69", varUString, "hi"},
      {"11 02 00 00 00 68 69", varString, "hi"},
      {"12 00 00 00 00", varUString, ""},
      {"12 fe ff ff ff", varUString, ""},
      {"09 07", varBoolean, "True"},
      {"04 00 00 00 00 00 00 f8 3f", varSingle, "1.5"},
      {"06 00 00 00 00 00 00 f4 3f", varCurrency, "1.25"},
      {"27", varNull, ""},
      {"ff 01 02", varNull, ""},
      {"1e 01 00 00 00 26 01 71", varArray | varVariant, ""},
  };
  for (const auto& c : cases) {
    Variant v = Decode(Unhex(c.Bytes));
    EXPECT_EQ(v.Kind(), c.Kind) << c.Bytes;
    if (!v.IsArray() && !v.IsNull()) {
      EXPECT_EQ(v.AsString(), c.Text) << c.Bytes;
    }
  }
  // A tag beyond the table reads no payload: the next value follows at once.
  IRawPacketPtr raw = TRawPacket::FromBytes(Unhex("ff 0c 05"));
  Variant a, b;
  raw->GetAsVar(a);
  raw->GetAsVar(b);
  EXPECT_TRUE(a.IsNull());
  EXPECT_EQ(b.AsInt32(), 5);
  EXPECT_TRUE(raw->Eof());
}

TEST(RawPacketTest, BadInputFailsWithAClearErrorBeforeAllocating) {
  std::string deep;
  for (int i = 0; i < 1025; ++i) deep += Unhex("1d 01 00 00 00");
  deep += "\x01";
  std::string deepPackets;
  for (int i = 0; i < 1025; ++i) deepPackets += Unhex("22 00 00 00 00 01 00 00 00");
  deepPackets += "\x01";
  const struct {
    const char* Name;
    std::string Bytes;
    const char* Message;
  } cases[] = {
      {"empty input", "", "Error Reading Packet Data"},
      {"length 0x7FFFFFFF in 10 bytes", Unhex("12 ff ff ff 7f 61 62 63 64 65"), "Error Reading Packet Data"},
      {"short text longer than the rest", Unhex("26 05 61"), "Error Reading Packet Data"},
      {"truncated double", Unhex("05 00 00 00"), "Error Reading Packet Data"},
      {"truncated length", Unhex("12 01 00"), "Error Reading Packet Data"},
      {"array count beyond the rest", Unhex("13 ff ff ff 0f 00"), "Error Reading Packet Data"},
      {"negative array count", Unhex("1c ff ff ff ff"), "Error Reading Packet Data"},
      {"variant array count beyond the rest", Unhex("1d 00 00 00 40 01"), "Error Reading Packet Data"},
      {"packet value count beyond the rest", Unhex("22 00 00 00 00 ff ff ff 7f"), "Error Reading Packet Data"},
      {"packet type name beyond the rest", Unhex("22 ff ff ff 7f 00"), "Error Reading Packet Data"},
      {"embedded raw packet beyond the rest", Unhex("0b 10 00 00 00 01"), "Error Reading Packet Data"},
      {"the rejected kind's tag", Unhex("23"), "Error Reading Packet Data"},
      {"arrays nested too deeply", deep, "Packet data nested deeper than 1024 levels"},
      {"packets nested too deeply", deepPackets, "Packet data nested deeper than 1024 levels"},
  };
  for (const auto& c : cases) {
    IRawPacketPtr raw = TRawPacket::FromBytes(c.Bytes);
    EXPECT_EQ(ErrorText<EPacketError>([&] { raw->GetAsPacket(); }), c.Message) << c.Name;
  }
  // A failed read leaves the position after the last byte it could read.
  IRawPacketPtr raw = TRawPacket::FromBytes(Unhex("12 ff ff ff 7f 61"));
  EXPECT_THROW(raw->GetAsPacket(), EPacketError);
  EXPECT_EQ(raw->Pos(), 5);
  // 1024 levels are fine.
  std::string ok;
  for (int i = 0; i < 1023; ++i) ok += Unhex("22 00 00 00 00 01 00 00 00");
  ok += Unhex("22 00 00 00 00 00 00 00 00");
  EXPECT_TRUE(TRawPacket::FromBytes(ok)->GetAsPacket());
}

TEST(RawPacketTest, UnwritableValuesAreRejectedAfterTheirTag) {
  TRawPacket raw;
  raw.PutVar(Variant(5));
  EXPECT_EQ(ErrorText([&] { raw.PutVar(ArrayOf(varCurrency, {Variant::CurrencyScaled(10000)})); }),
            "Writing unsupported variant type ($2006)!");
  EXPECT_EQ(Hex(raw.Bytes()), "03 05 00 00 00 23");

  // An object that is neither packet nor raw packet.
  class TOther : public TRefCntObject {};
  TRefPtr<IInterface> other = TRefPtr<IInterface>::Adopt(new TOther);
  const std::string error = ErrorText([&] { raw.PutVar(Variant::Object(varUnknown, other)); });
  EXPECT_TRUE(error.starts_with("Invalid Variant ") && error.ends_with("TOther in PutVar")) << error;
}

TEST(RawPacketTest, EmbeddedRawPacketsTravelAsTheirBytes) {
  IRawPacketPtr inner = TRawPacket::FromBytes("hello, world");
  char head[5];
  inner->GetBuff(head, 5);
  // Written up to its position (the rest is cut off), read back as a raw packet of its own.
  std::string bytes = Encode(Variant::Object(varUnknown, TRefPtr<IInterface>(inner.get())));
  EXPECT_EQ(bytes, Unhex("0b 05 00 00 00") + "hello");
  EXPECT_EQ(inner->GetSize(), 5);
  Variant v = Decode(bytes);
  ASSERT_EQ(v.Kind(), varUnknown);
  auto* back = dynamic_cast<IRawPacket*>(v.ObjectRef());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->Bytes(), "hello");
  // A length below 1 is no raw packet at all.
  EXPECT_EQ(Decode(Unhex("0b 00 00 00 00")).ObjectRef(), nullptr);
}

TEST(RawPacketTest, ViewsShareBytesKeepTheirSourceAndCannotBeWritten) {
  IRawPacketPtr view;
  {
    IRawPacketPtr source = TRawPacket::FromBytes("0123456789");
    char skip[2];
    source->GetBuff(skip, 2);
    view = source->GetAsPacketClone(4);
    EXPECT_EQ(source->Pos(), 6);
    EXPECT_EQ(view->RawData(), source->RawData() + 2);  // no copy
    // Writing into the source afterwards leaves the view's bytes as they were.
    source->Reset();
    source->PutBuff("abcdefghij", 10);
    source->PutBuff("more", 4);
    EXPECT_EQ(source->Bytes(), "abcdefghijmore");
  }
  EXPECT_EQ(view->Bytes(), "2345");  // the source went with its last outside reference
  EXPECT_EQ(ErrorText<EPacketError>([&] { view->PutByte(1); }), "Can't write to read-only packet stream");
  EXPECT_THROW(view->SetSize(10), EPacketError);  // its bytes are borrowed: no growing
  view->SetSize(2);
  EXPECT_EQ(view->Bytes(), "23");
  // Cut to what remains, 0 meaning all of it, none when nothing remains.
  IRawPacketPtr src = TRawPacket::FromBytes("abc");
  EXPECT_EQ(TRawPacket::CreateCloned(src, 99)->Bytes(), "abc");
  EXPECT_EQ(src->GetAsPacketClone(0)->Bytes(), "abc");
  EXPECT_FALSE(src->GetAsPacketClone(0));
}

TEST(RawPacketTest, CompressedBlocksFollowTheirFraming) {
  std::string data;
  for (int i = 0; i < 2000; ++i) data += "block " + std::to_string(i % 37) + ";";
  const int32_t len = static_cast<int32_t>(data.size());

  TRawPacket z;
  z.PutCompressed(data.data(), len, dcZLib);
  std::string zb = z.Bytes();
  int32_t stated;
  std::memcpy(&stated, zb.data(), 4);
  EXPECT_EQ(stated, len);
  std::string plain(data.size(), '\0');
  uLongf plainLen = plain.size();
  ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(plain.data()), &plainLen, reinterpret_cast<const Bytef*>(zb.data() + 4),
                       zb.size() - 4),
            Z_OK);
  EXPECT_EQ(plain, data);

  TRawPacket s;
  s.PutCompressed(data.data(), len, dcSnappy);
  s.PutByte(0x5A);  // a Snappy block states its length, so more may follow
  std::string sb = s.Bytes();
  std::memcpy(&stated, sb.data(), 4);
  EXPECT_EQ(static_cast<size_t>(stated), sb.size() - 5);
  size_t n = 0;
  ASSERT_EQ(snappy_uncompressed_length(sb.data() + 4, stated, &n), SNAPPY_OK);
  EXPECT_EQ(n, data.size());

  for (TRawPacket* p : {&z, &s}) {
    p->Reset();
    TBytes back = p->GetCompressed(p == &z ? dcZLib : dcSnappy);
    EXPECT_EQ(std::string(back.begin(), back.end()), data);
  }
  EXPECT_EQ(s.GetAsByte(), 0x5A);

  // No bytes: the 4-byte 0, read back as nothing; a null pointer writes nothing at all.
  TRawPacket empty;
  empty.PutCompressed(data.data(), 0, dcZLib);
  empty.PutCompressed(nullptr, 10, dcSnappy);
  EXPECT_EQ(Hex(empty.Bytes()), "00 00 00 00");
  empty.Reset();
  EXPECT_TRUE(empty.GetCompressed(dcZLib).empty());
}

TEST(RawPacketTest, BadCompressedBlocksFailWithTheirMessages) {
  const struct {
    const char* Name;
    std::string Bytes;
    TDataCompressionType Kind;
    const char* Message;
  } cases[] = {
      {"snappy preamble is no length", Unhex("05 00 00 00 ff ff ff ff ff"), dcSnappy,
       "Error getting compressed length"},
      {"snappy block that does not decompress", Unhex("04 00 00 00 05 ff 01 02"), dcSnappy, "Error decompressing data"},
      {"snappy length beyond the rest", Unhex("40 00 00 00 05 00"), dcSnappy, "Error Reading Packet Data"},
      {"snappy size implausible for its input", Unhex("06 00 00 00 ff ff ff ff 0f 00"), dcSnappy,
       "Compressed block states an implausible size (4294967295 bytes from 6)"},
      {"zlib size implausible for its input", Unhex("ff ff ff 7f 78 9c 03 00"), dcZLib,
       "Compressed block states an implausible size (2147483647 bytes from 4)"},
      {"zlib stream that is no stream", Unhex("05 00 00 00 01 02 03 04 05 06"), dcZLib, "Error decompressing data"},
      {"zlib stream shorter than stated", Unhex("05 00 00 00 78 9c 03 00 00 00 00 01"), dcZLib,
       "Error decompressing data"},
      {"truncated length", Unhex("05 00"), dcZLib, "Error Reading Packet Data"},
  };
  for (const auto& c : cases) {
    IRawPacketPtr raw = TRawPacket::FromBytes(c.Bytes);
    EXPECT_EQ(ErrorText([&] { raw->DecompressData(c.Kind); }), c.Message) << c.Name;
  }
}

TEST(RawPacketTest, PutConstsWritesUntaggedItemsByArgumentType) {
  TRawPacket raw;
  IPacketPtr p = NewPacket("t");
  IRawPacketPtr tail = TRawPacket::FromBytes("xy");
  Variant v(0);
  raw.PutConsts({TConstArg(int32_t(7)), TConstArg(true), TConstArg('A'), TConstArg(1.5), TConstArg::Currency(25000),
                 TConstArg("hé"), TConstArg::AnsiString("ab"), TConstArg(int64_t(-2)), TConstArg(v), TConstArg(p),
                 TConstArg(tail)});
  EXPECT_EQ(Hex(raw.Bytes()), Hex(Unhex("07 00 00 00  01  41") + Unhex(DoubleHex(1.5)) + Unhex(DoubleHex(2.5)) +
                                  Unhex("03 00 00 00 68 c3 a9  02 00 00 00 61 62  fe ff ff ff ff ff ff ff  1f") +
                                  Unhex("22 01 00 00 00 74 00 00 00 00") + "xy"));
  // And read back by a reader that knows the sequence.
  raw.Reset();
  EXPECT_EQ(raw.GetAsInt(), 7);
  EXPECT_TRUE(raw.GetAsBoolean());
  EXPECT_EQ(raw.GetAsByte(), 'A');
  EXPECT_EQ(raw.GetAsDouble(), 1.5);
  EXPECT_EQ(raw.GetAsDateTime(), 2.5);
  EXPECT_EQ(raw.GetAsStr(), "hé");
  EXPECT_EQ(raw.GetAsAnsiStr(), "ab");
  EXPECT_EQ(raw.GetAsInt64(), -2);
  Variant zero;
  raw.GetAsVar(zero);
  EXPECT_EQ(raw.GetAsPacket()->GetTypeName(), "t");
  EXPECT_EQ(raw.GetAsRawPacket(false, 0)->Bytes(), "xy");

  int x = 0;
  EXPECT_EQ(ErrorText([&] { raw.PutConsts({TConstArg(static_cast<const void*>(&x))}); }),
            "Unsupported argument passed to DataStreamWriter.PutConsts ($5)");
}

TEST(RawPacketTest, BuffersGrowInSteps) {
  const struct {
    int64_t Write;
    int64_t Capacity;
  } cases[] = {{1, 32}, {33, 64}, {1000, 1024}, {1025, 1536}, {4097, 8192}, {8193, 16384}};
  for (const auto& c : cases) {
    TPacketMemoryStream s;
    std::string bytes(static_cast<size_t>(c.Write), 'x');
    s.Write(bytes.data(), c.Write);
    EXPECT_EQ(s.Capacity(), c.Capacity) << c.Write;
  }
  // Writing past the end leaves zeros in the gap, never old memory.
  TPacketMemoryStream gap;
  gap.Write("abcdefgh", 8);
  gap.SetSize(2);
  gap.SetPosition(4);
  gap.Write("z", 1);
  EXPECT_EQ(Hex(std::string_view(reinterpret_cast<const char*>(gap.Memory()), gap.Size())), "61 62 00 00 7a");
  // Created with a size: exactly that many zero bytes, overwritten from 0 and extended.
  TRawPacket raw(4);
  EXPECT_EQ(Hex(raw.Bytes()), "00 00 00 00");
  raw.PutWord(0x0102);
  EXPECT_EQ(Hex(raw.Bytes()), "02 01 00 00");
  raw.PutLongWord(0x03030303);
  EXPECT_EQ(raw.GetSize(), 6);
  raw.Clear();
  EXPECT_EQ(raw.GetSize(), 0);
  EXPECT_EQ(raw.Pos(), 0);
}

// A stream that is not a memory stream, as a file or pipe would be.
class TStringStream : public TStream {
 public:
  std::string Data;
  int64_t Pos = 0;
  int64_t Read(void* AData, int64_t ACount) override {
    int64_t n = std::max<int64_t>(0, std::min<int64_t>(ACount, static_cast<int64_t>(Data.size()) - Pos));
    std::memcpy(AData, Data.data() + Pos, static_cast<size_t>(n));
    Pos += n;
    return n;
  }
  void Write(const void* AData, int64_t ACount) override {
    if (Pos + ACount > static_cast<int64_t>(Data.size())) Data.resize(static_cast<size_t>(Pos + ACount));
    std::memcpy(Data.data() + Pos, AData, static_cast<size_t>(ACount));
    Pos += ACount;
  }
  int64_t Position() const override { return Pos; }
  void SetPosition(int64_t APos) override { Pos = APos; }
  int64_t Size() const override { return static_cast<int64_t>(Data.size()); }
  void SetSize(int64_t ASize) override { Data.resize(static_cast<size_t>(ASize)); }
};

TEST(RawPacketTest, AWriterOverAnyStreamWritesAndReadsTheSameBytes) {
  IPacketPtr p = NewPacketOfValues("rec",
                                   {Variant(1), Variant("two"), Variant(3.5), Variant(NewPacketOf("x", Variant(300)))},
                                   false);
  std::string payload(3000, 'q');
  auto* stream = new TStringStream;
  auto w = TRefPtr<IDataStreamWriter>::Adopt(new TDataStreamWriter(stream, true, false));
  w->PutPacket(p);
  w->PutCompressed(payload.data(), static_cast<int32_t>(payload.size()), dcSnappy);
  w->PutCompressed(payload.data(), static_cast<int32_t>(payload.size()), dcZLib);
  EXPECT_EQ(stream->Data.substr(0, Encode(Variant(p)).size()), Encode(Variant(p)));
  w->Reset();
  EXPECT_EQ(Json(w->GetAsPacket()), Json(p));
  TBytes a = w->GetCompressed(dcSnappy);
  TBytes b = w->GetCompressed(dcZLib);
  EXPECT_EQ(std::string(a.begin(), a.end()), payload);
  EXPECT_EQ(std::string(b.begin(), b.end()), payload);
  EXPECT_TRUE(w->Eof());
  // Short reads fail the same way.
  stream->Data = Unhex("12 ff ff ff 7f 61 62 63 64 65");
  w->Reset();
  EXPECT_THROW(w->GetAsPacket(), EPacketError);
}

}  // namespace
