#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "packets/json/PacketConversions.h"
#include "packets/PacketFormatManager.h"

namespace vexor {
namespace {

class TUpperFormat : public TPacketFormat {
 public:
  std::string PacketToChannelFormat(const IPacketPtr&) const override { return "UP"; }
  IPacketPtr ChannelFormatToPacket(std::string_view) const override { return NewPacket("up"); }
};

TEST(PacketFormatTest, StartUpRegistersTheTextFormatsByName) {
  InitPacketConversions();
  InitPacketConversions();  // a second start-up changes nothing
  const TPacketFormat* json = TPacketFormatManager::GetPacketFormat("json");
  const TPacketFormat* xml = TPacketFormatManager::GetPacketFormat("Xml");
  ASSERT_TRUE(json);
  ASSERT_TRUE(xml);
  EXPECT_EQ(json, TPacketFormatManager::GetPacketFormat("JSON"));
  EXPECT_EQ(TPacketFormatManager::GetPacketFormat("yaml"), nullptr);
  EXPECT_EQ(TPacketFormatManager::GetPacketFormat(""), nullptr);

  IPacketPtr p = NewPacket();
  p->PutProperty("name", Variant("caf\xC3\xA9 & <co>"));
  p->PutProperty("n", Variant(5));
  EXPECT_EQ(json->PacketToChannelFormat(p), "{\"name\":\"caf\xC3\xA9 & <co>\",\"n\":5}");
  EXPECT_EQ(xml->PacketToChannelFormat(p),
            "<ipacket><ipacket name=\"name\"><string>caf\xC3\xA9 &amp; &lt;co&gt;</string></ipacket>"
            "<ipacket name=\"n\"><integer>5</integer></ipacket></ipacket>");
  for (const TPacketFormat* f : {json, xml}) {
    IPacketPtr back = f->ChannelFormatToPacket(f->PacketToChannelFormat(p));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->AsString(), p->AsString());
  }

  // Entries can be added and replaced (start-up only); lookups ignore case.
  static const TUpperFormat kUpper;
  TPacketFormatManager::RegisterPacketFormatter("Upper", &kUpper);
  EXPECT_EQ(TPacketFormatManager::GetPacketFormat("UPPER"), &kUpper);
  TPacketFormatManager::RegisterPacketFormatter("upper", json);
  EXPECT_EQ(TPacketFormatManager::GetPacketFormat("Upper"), json);
  const std::vector<std::string> names = TPacketFormatManager::FormatNames();
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end(), [](const std::string& A, const std::string& B) {
    return std::lexicographical_compare(A.begin(), A.end(), B.begin(), B.end(),
                                        [](char x, char y) { return std::tolower(x) < std::tolower(y); });
  }));
  EXPECT_EQ(std::count(names.begin(), names.end(), "JSON"), 1);
}

}  // namespace
}  // namespace vexor
