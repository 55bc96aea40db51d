#include <gtest/gtest.h>

#include <string>

#include "platform/Exceptions.h"
#include "containers/IntfIndex.h"

namespace vexor {
namespace {

class INamed : public virtual IInterface {
 public:
  virtual std::string Name() = 0;
};

class TNamed : public TRefCntObject, public INamed, public IIndexHashValue {
 public:
  explicit TNamed(std::string AName) : FName(std::move(AName)) {}
  std::string Name() override { return FName; }
  std::string GetHashValue() override { return FName; }

 private:
  std::string FName;
};

TEST(RefCountTest, CreatorHoldsTheFirstReference) {
  TRef<TNamed> a = MakeRef<TNamed>("x");
  EXPECT_EQ(a->RefCount(), 1);
  TRef<INamed> b = a;
  EXPECT_EQ(a->RefCount(), 2);
  TRef<IIndexHashValue> c = RefCast<IIndexHashValue>(b);
  ASSERT_TRUE(c);
  EXPECT_EQ(a->RefCount(), 3);
  b = nullptr;
  c.Reset();
  EXPECT_EQ(a->RefCount(), 1);
  EXPECT_TRUE(a->TryAddRef());
  a->_Release();
}

TEST(StrIntfIndexTest, KeysComeFromTheInterfaceAndHoldReferences) {
  TStrIntfIndex<INamed> index;
  TRef<TNamed> beta = MakeRef<TNamed>("Beta");
  index.Add(TRef<INamed>(MakeRef<TNamed>("alpha")));
  index.Add(TRef<INamed>(beta));
  EXPECT_EQ(beta->RefCount(), 2);
  EXPECT_EQ(index.Add(TRef<INamed>(MakeRef<TNamed>("BETA"))), -1);  // existing key, refused

  ASSERT_EQ(index.GetCount(), 2);
  EXPECT_EQ(index.GetValue(0), "alpha");
  EXPECT_EQ(index.GetItemByIndex("ALPHA")->Name(), "alpha");
  EXPECT_FALSE(index.GetItemByIndex("gamma"));

  index.Remove(TRef<INamed>(beta));
  EXPECT_EQ(index.GetCount(), 1);
  EXPECT_EQ(beta->RefCount(), 1);

  bool found = index.OnValue("gamma", nullptr,
                             [](const std::string& AKey) { return TRef<INamed>(MakeRef<TNamed>(AKey)); });
  EXPECT_FALSE(found);
  EXPECT_EQ(index.GetItemByIndex("Gamma")->Name(), "gamma");
  index.Clear();
  EXPECT_EQ(index.GetCount(), 0);
}

TEST(StrIntfIndexTest, InterfaceWithoutKeyIsAClearError) {
  class TAnon : public TRefCntObject, public INamed {
    std::string Name() override { return ""; }
  };
  TStrIntfIndex<INamed> index;
  EXPECT_THROW(index.Add(TRef<INamed>(MakeRef<TAnon>())), Exception);
  EXPECT_EQ(index.GetCount(), 0);
}

}  // namespace
}  // namespace vexor
