// MIME packets over ordinary packets, and the content-type table.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/Exceptions.h"
#include "browser/core/MimePacket.h"
#include "packets/json/PacketConversions.h"

namespace vexor {
namespace {

std::string Saved(const IPacketPtr& APacket) {
  std::ostringstream out;
  TMimePacket::AsMimePacket(APacket)->SaveToStream(out);
  return out.str();
}

void ExpectError(const std::function<void()>& AAction, const std::string& AMessage) {
  try {
    AAction();
    ADD_FAILURE() << "no error, expected " << AMessage;
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), AMessage);
  }
}

TEST(MimePacket, CreateStoresTypeFileNameAndFlagsAsProperties) {
  IMIMEPacketPtr mime = TMimePacket::Create("text/plain", "a.txt", MimeFlag(mpfCacheable) | MimeFlag(mpfGlobalCache));
  IPacketPtr packet = mime->AsPacket();
  EXPECT_EQ(packet->GetTypeName(), "mime");
  EXPECT_EQ(packet->GetProperty("flags", Variant()).AsString(), "mpfCacheable,mpfGlobalCache");
  EXPECT_EQ(mime->GetFlags(), MimeFlag(mpfCacheable) | MimeFlag(mpfGlobalCache));
  EXPECT_EQ(mime->GetMimeType(), "text/plain");
  EXPECT_EQ(mime->GetFileName(), "a.txt");
  EXPECT_EQ(TMimePacket::Create("x/y", 0)->AsPacket()->GetProperty("flags", Variant(1)).AsString(), "");
  EXPECT_EQ(TMimePacket::Create("x/y", MimeFlag(mpfGlobalCache))->GetFlags(), MimeFlag(mpfGlobalCache));
  mime->SetTimestamp(Variant(42));
  EXPECT_EQ(mime->GetTimestamp().AsInt32(), 42);
  EXPECT_EQ(TMimePacket::AsMimePacket(packet)->AsPacket().get(), packet.get()) << "a view, not a copy";
}

TEST(MimePacket, RecognisesTheTypeNameInAnyCase) {
  EXPECT_TRUE(TMimePacket::IsMimePacket(NewPacket("MIME")));
  EXPECT_FALSE(TMimePacket::IsMimePacket(NewPacket("mimes")));
  EXPECT_FALSE(TMimePacket::IsMimePacket(nullptr));
  ExpectError([] { TMimePacket::AsMimePacket(NewPacket("other")); }, "Invalid source packet");
}

TEST(MimePacket, SaveToStreamWritesBytesOrTextAndRefusesAnythingElse) {
  const char bytes[] = {'\x00', '\x01', '\xff'};
  EXPECT_EQ(Saved(TMimePacket::WrapData("application/octet-stream", "", bytes, 3, 0)), std::string(bytes, 3));
  EXPECT_EQ(Saved(TMimePacket::WrapData("text/plain", "", Variant("Grüße"), 0)), "Grüße");
  IPacketPtr empty = TMimePacket::WrapData("x/y", "", nullptr, 0, 0);
  EXPECT_EQ(TMimePacket::AsMimePacket(empty)->GetData().Kind(), varArray | varByte);
  EXPECT_EQ(Saved(empty), "");
  EXPECT_EQ(Saved(TMimePacket::WrapData("x/y", "", bytes, 1, 0)), std::string(bytes, 1));

  IPacketPtr number = TMimePacket::WrapData("x/y", "", Variant(5), 0);
  ExpectError([&] { Saved(number); }, "Invalid MIME Packet format.");
  ExpectError([] { Saved(TMimePacket::Create("x/y", 0)->AsPacket()); }, "Invalid MIME Packet format.");

  // Loaded data is a packet holding the bytes: it does not write back.
  IMIMEPacketPtr loaded = TMimePacket::Create("x/y", 0);
  std::istringstream in("skip-payload");
  in.ignore(5);
  loaded->LoadFromStream(in);
  IPacketPtr held = VarToPacket(loaded->GetData());
  ASSERT_TRUE(held);
  EXPECT_EQ(held->GetVar(0).BytesRef(), "payload");
  ExpectError([&] { Saved(loaded->AsPacket()); }, "Invalid MIME Packet format.");
}

TEST(MimePacket, ContentTypeForFileName) {
  struct TCase {
    const char* Name;
    const char* Type;
  } cases[] = {
      {"photo.JPG", "image/jpeg"},
      {"archive.tar.gz", ""},
      {"README", ""},
      {"data.json", "text/json"},
      {"app.js", "text/javascript"},
      {"style.less", "text/css"},
      {"a.exe", "application/octet-stream"},
      {"lib.so", "application/octet-stream"},
      {"x.class", "application/octet-stream"},
      {"f.woff", "application/font-woff"},
      {"f.eot", "application/vnd.ms-fontobject"},
      {"CACHE.MANIFEST", "text/cache-manifest"},
      {"dir/cache.manifest", ""},
      {"dir.v2/readme", ""},
      {"a/b/index.HTM", "text/html"},
      {"s.svg", "image/svg+xml"},
      {"m.mp3", "audio/mpeg"},
      {"t.t", "application/x-troff"},
      {"x.xsl", "application/xml"},
      {"v.mov", "video/quicktime"},
      {"trailing.", ""},
  };
  for (const TCase& c : cases) EXPECT_EQ(TMimePacket::GetMimeTypeFromFileName(c.Name), c.Type) << c.Name;
}

}  // namespace
}  // namespace vexor
