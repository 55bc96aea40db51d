// Objects to packets and back: through the plain property adapter and through views, with nested
// objects, lists of objects and list-like indexed properties.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/ErrorText.h"
#include "packets/json/PacketConversions.h"
#include "packets/mapping/PacketViewAdapter.h"

using namespace vexor;
using vexor::testing::ErrorText;

namespace {

struct TAddress {
  std::string City;
  int32_t Zip = 0;
  static const TClassInfo& ClassInfo() {
    static const TClassInfo info =
        TClassInfo::Of<TAddress>("TAddress").Published("City", &TAddress::City).Published("Zip", &TAddress::Zip).Build();
    return info;
  }
};

struct TTag {
  std::string Text;
  // Represents itself.
  IPacketPtr AsPacket() const { return NewPacketOf("tag", Variant(Text)); }
  static const TClassInfo& ClassInfo() {
    static const TClassInfo info =
        TClassInfo::Of<TTag>("TTag").Published("Text", &TTag::Text).Published("AsPacket", &TTag::AsPacket).Build();
    return info;
  }
};

template <class T>
struct TOwningList {
  std::vector<std::unique_ptr<T>> Items;
  int32_t Count() const { return static_cast<int32_t>(Items.size()); }
  T* Item(int32_t I) const { return Items[static_cast<size_t>(I)].get(); }
  void Add(T* A) { Items.emplace_back(A); }
};

struct TAddressList : TOwningList<TAddress> {
  static const TClassInfo& ClassInfo() {
    static const TClassInfo info = TClassInfo::Of<TAddressList>("TList<TAddress>")
                                       .ListOf<TAddress>("TAddress", &TAddressList::Count, &TAddressList::Item,
                                                         &TAddressList::Add)
                                       .Build();
    return info;
  }
};

struct TTagList : TOwningList<TTag> {
  static const TClassInfo& ClassInfo() {
    static const TClassInfo info = TClassInfo::Of<TTagList>("TCommonIndexList<TTag>")
                                       .ListOf<TTag>("TTag", &TTagList::Count, &TTagList::Item, &TTagList::Add)
                                       .Build();
    return info;
  }
};

enum TColor { clRed, clGreen, clBlue };

struct TPerson : TRefCntObject {
  std::string Name;
  int32_t Age = 0;
  bool Active = false;
  TDateTime Born = 0;
  TColor Color = clRed;
  int64_t Level = 5;
  std::string Secret;
  std::string Mail;
  std::string ReadOnlyView;
  IPacketPtr Extra;
  std::vector<int32_t> Counts;
  TAddress Home;
  TAddress* Address = &Home;
  TAddressList AddressesStore;
  TAddressList* Addresses = &AddressesStore;
  TTagList TagsStore;
  TTagList* Tags = &TagsStore;
  std::vector<int32_t> Scores;
  int32_t ScoreCount() const { return static_cast<int32_t>(Scores.size()); }
  int32_t Score(int32_t I) const { return Scores[static_cast<size_t>(I)]; }
  void AddScore(int32_t A) { Scores.push_back(A); }
  int32_t GetRefCount() const { return RefCount(); }

  static const TClassInfo& ClassInfo() {
    static const TClassInfo info = TClassInfo::Of<TPerson>("TPerson")
                                       .Published("Name", &TPerson::Name)
                                       .Published("Age", &TPerson::Age)
                                       .Published("Active", &TPerson::Active)
                                       .Published("Born", &TPerson::Born)
                                       .AsDateTime()
                                       .Published("Color", &TPerson::Color)
                                       .Published("Level", &TPerson::Level)
                                       .Default(5)
                                       .Published("RefCount", &TPerson::GetRefCount)
                                       .Public("Secret", &TPerson::Secret)
                                       .With(IPacketViewAttribute::Make("admin"))
                                       .Published("Mail", &TPerson::Mail)
                                       .With(IPacketMapNameAttribute::Make("e-mail", "admin"))
                                       .Public("ReadOnlyView", &TPerson::ReadOnlyView)
                                       .With(IPacketViewAttribute::Make("admin", Only(toPacket)))
                                       .Published("Extra", &TPerson::Extra)
                                       .Published("Counts", &TPerson::Counts)
                                       .Published("Address", &TPerson::Address)
                                       .Published("Addresses", &TPerson::Addresses)
                                       .Published("Tags", &TPerson::Tags)
                                       .Public("ScoreCount", &TPerson::ScoreCount)
                                       .Indexed("Scores", &TPerson::Score)
                                       .With(IPacketListAttribute::Make("ScoreCount", "AddScore"))
                                       .Method("AddScore", &TPerson::AddScore)
                                       .Build();
    return info;
  }
};

class ObjectMappingTest : public ::testing::Test {
 protected:
  void SetUp() override { InitPacketConversions(); }

  using TPersonPtr = std::unique_ptr<TPerson, void (*)(TPerson*)>;
  // A person is reference-counted: it goes with its last reference.
  static TPersonPtr Fresh() {
    return {new TPerson, [](TPerson* A) { A->ReleaseRef(); }};
  }
  static TPersonPtr NewPerson() {
    TPersonPtr person = Fresh();
    TPerson* p = person.get();
    p->Name = "Ann";
    p->Age = 41;
    p->Active = true;
    p->Born = 36526.5;
    p->Color = clBlue;
    p->Secret = "s3";
    p->Mail = "ann@example.org";
    p->ReadOnlyView = "ro";
    p->Extra = NewPacketOf("x", Variant(1));
    p->Counts = {1, 2};
    p->Home = {"Bern", 3000};
    p->AddressesStore.Add(new TAddress{"Basel", 4000});
    p->AddressesStore.Add(new TAddress{"Chur", 7000});
    p->TagsStore.Add(new TTag{"t1"});
    p->Scores = {7, 9};
    return person;
  }
};

TEST_F(ObjectMappingTest, ThePlainAdapterCopiesScalarPropertiesOnly) {
  auto person = NewPerson();
  TObjectRef ref = ObjRef(*person);
  // Object-typed properties are rejected by name and type.
  EXPECT_EQ(ErrorText<Exception>([&] { ObjectToPacket("", ref, mvPublished); }),
            "Invalid READ property type - Address:TAddress");
  EXPECT_EQ(ErrorText<Exception>([&] {
              PacketToObject(NewPacketOf("", Variant(NewPacketOf("Tags", Variant(1)))), ref, mvPublished);
            }),
            "Invalid WRITE property type - Tags:TCommonIndexList<TTag>");
}

TEST_F(ObjectMappingTest, ViewsDecideWhichPropertiesTakePartAndUnderWhichNames) {
  auto person = NewPerson();
  IPacketPtr all = ObjectAsPacket(*person);
  IPacketPtr admin = ObjectAsPacket(*person, "admin");
  const struct {
    const char* Name;
    bool InAll, InAdmin;
  } cases[] = {
      {"Name", true, false},   // published, no attribute of the view
      {"Secret", true, true},  // public with a view attribute: in the unnamed view too
      {"Mail", true, false},   // renamed in the admin view
      {"e-mail", false, true},      {"ReadOnlyView", true, true},
      {"RefCount", false, false},    // never of a reference-counted object
      {"ScoreCount", false, false},  // public without attribute
      {"Level", false, false},       // equals its declared default
  };
  for (const auto& c : cases) {
    EXPECT_EQ(all->GetProperties()->Exists(c.Name), c.InAll) << c.Name;
    EXPECT_EQ(admin->GetProperties()->Exists(c.Name), c.InAdmin) << c.Name;
  }
  EXPECT_EQ(admin->AsString(), R"({"Secret":"s3","e-mail":"ann@example.org","ReadOnlyView":"ro"})");

  // Back through the view: only its properties, in their directions.
  TPersonPtr targetPtr = Fresh();
  TPerson& target = *targetPtr;
  PacketAsObject(
      TPacketConversions::PacketFromJSON(R"({"Name":"X","Secret":"new","e-mail":"x@y","ReadOnlyView":"changed"})"),
      target, {}, "admin");
  EXPECT_EQ(target.Name, "");
  EXPECT_EQ(target.Secret, "new");
  EXPECT_EQ(target.Mail, "x@y");
  EXPECT_EQ(target.ReadOnlyView, "");
}

TEST_F(ObjectMappingTest, AnEmptyMappedNameFails) {
  struct TBad {
    int32_t A = 1;
    static const TClassInfo& ClassInfo() {
      static const TClassInfo info =
          TClassInfo::Of<TBad>("TBad").Published("A", &TBad::A).With(IPacketMapNameAttribute::Make("", "v")).Build();
      return info;
    }
  } bad;
  EXPECT_EQ(ErrorText<EPacketConversionsException>([&] { ObjectAsPacket(bad, "v"); }),
            "Mapped name missing for IPacketMapNameAttribute for property \"TBad.A\"");
}

TEST_F(ObjectMappingTest, ObjectsListsAndIndexedPropertiesRoundTrip) {
  auto person = NewPerson();
  IPacketPtr p = ObjectAsPacket(*person);
  IPacketPtr shown = ClonePacket(p);
  EXPECT_EQ(shown->GetProperty("Born", Variant()).Kind(), varDate);
  shown->RemoveProperty("Born");  // its text depends on the time zone
  // A one-item list is one nested packet (which JSON shows as an object).
  EXPECT_EQ(TPacketConversions::PacketAsJSON(shown),
            R"({"Name":"Ann","Age":41,"Active":true,"Color":2,"Secret":"s3",)"
            R"("Mail":"ann@example.org","ReadOnlyView":"ro","Extra":{"x":1},"Counts":[1,2],)"
            R"("Address":{"City":"Bern","Zip":3000},"Addresses":[{"City":"Basel","Zip":4000},{"City":"Chur","Zip":7000}],)"
            R"("Tags":{"tag":"t1"},"Scores":[7,9]})");

  TPersonPtr copyPtr = Fresh();
  TPerson& copy = *copyPtr;
  PacketAsObject(p, copy);
  EXPECT_EQ(copy.Name, "Ann");
  EXPECT_EQ(copy.Age, 41);
  EXPECT_TRUE(copy.Active);
  EXPECT_DOUBLE_EQ(copy.Born, 36526.5);
  EXPECT_EQ(copy.Color, clBlue);
  EXPECT_EQ(copy.Level, 5);  // missing: its declared default
  EXPECT_EQ(copy.Counts, (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(copy.Extra->AsString(), "{\"x\":1}");
  EXPECT_NE(copy.Extra.get(), person->Extra.get());  // a copy
  EXPECT_EQ(copy.Home.City, "Bern");                 // filled in place
  ASSERT_EQ(copy.AddressesStore.Count(), 2);
  EXPECT_EQ(copy.AddressesStore.Item(1)->City, "Chur");
  ASSERT_EQ(copy.TagsStore.Count(), 1);
  EXPECT_EQ(copy.Scores, (std::vector<int32_t>{7, 9}));
}

TEST_F(ObjectMappingTest, ASelectorPicksPropertiesAndNamesThem) {
  auto person = NewPerson();
  IPacketPtr p = ObjectAsPacket(*person, {}, {{"Name", "n"}, {"Age", "a"}, {"Secret", "s"}});
  EXPECT_EQ(p->AsString(), R"({"n":"Ann","a":41,"s":"s3"})");
}

TEST_F(ObjectMappingTest, IndexedPropertiesNeedTheirCountAndAdder) {
  struct TBag {
    std::vector<int32_t> V{1};
    int32_t Item(int32_t I) const { return V[static_cast<size_t>(I)]; }
    std::string NotACount() const { return "x"; }
    static const TClassInfo& ClassInfo() {
      static const TClassInfo info = TClassInfo::Of<TBag>("TBag")
                                         .Published("NotACount", &TBag::NotACount)
                                         .Indexed("Items", &TBag::Item, mvPublished)
                                         .With(IPacketListAttribute::Make("NotACount", "Missing"))
                                         .Build();
      return info;
    }
  } bag;
  EXPECT_EQ(ErrorText<EPacketConversionsException>([&] { ObjectAsPacket(bag); }),
            "Missing or invalid item count property \"NotACount\" for indexed property \"TBag.Items\"");
  EXPECT_EQ(ErrorText<EPacketConversionsException>([&] {
              PacketAsObject(TPacketConversions::PacketFromJSON(R"({"Items":[1,2]})"), bag);
            }),
            "Invalid or missing list adder method \"Missing\" for indexed property \"TBag.Items\"");
}

}  // namespace
