#pragma once
// Attribute-driven mapping between registered objects and packets: which properties belong to
// which named view, under which name, in which direction; objects held by properties become
// nested packets (lists of objects and list-like indexed properties become packet arrays) and are
// filled back in place. Attributes are attached where a class registers its properties:
//
//   .Public("Secret", &TUser::Secret).With(IPacketViewAttribute::Make("admin"))
//   .Published("Mail", &TUser::Mail).With(IPacketMapNameAttribute::Make("e-mail", "admin"))
//
// The list-conversion registry knows "TList<...>" and "TCommonIndexList<...>" classes (a class
// registered with ListOf); it is filled on first use and read-only after. One mapping runs on
// one thread; its errors are EPacketConversionsException.
#include <string>
#include <string_view>
#include <vector>

#include "platform/Exceptions.h"
#include "packets/mapping/PacketPropertyAdapter.h"

namespace vexor {

class EPacketConversionsException : public Exception {
 public:
  using Exception::Exception;
};

// A set of directions.
using TIPacketPropertyAccessTypes = uint8_t;
inline constexpr TIPacketPropertyAccessTypes kBothDirections = (1 << toPacket) | (1 << fromPacket);
inline constexpr TIPacketPropertyAccessTypes Only(TIPacketPropertyAccessType A) { return static_cast<uint8_t>(1 << A); }

// The property belongs to the view FViewName in the directions FViewAccess.
class IPacketViewAttribute : public TBaseIPacketViewAttribute {
 public:
  explicit IPacketViewAttribute(std::string AViewName, TIPacketPropertyAccessTypes AViewAccess = kBothDirections)
      : FViewAccess(AViewAccess), FViewName(std::move(AViewName)) {}
  static TAttributePtr Make(std::string AViewName, TIPacketPropertyAccessTypes AViewAccess = kBothDirections) {
    return std::make_shared<IPacketViewAttribute>(std::move(AViewName), AViewAccess);
  }
  std::string ClassName() const override { return "IPacketViewAttribute"; }
  bool Matches(std::string_view AViewName, TIPacketPropertyAccessType AAccess) const {
    return SameName(FViewName, AViewName) && (FViewAccess & Only(AAccess));
  }

  TIPacketPropertyAccessTypes FViewAccess;
  std::string FViewName;
};

// ... and is stored in its packets under FPropMappedName.
class IPacketMapNameAttribute : public IPacketViewAttribute {
 public:
  IPacketMapNameAttribute(std::string APropMappedName, std::string AViewName,
                          TIPacketPropertyAccessTypes AViewAccess = kBothDirections)
      : IPacketViewAttribute(std::move(AViewName), AViewAccess), FPropMappedName(std::move(APropMappedName)) {}
  static TAttributePtr Make(std::string APropMappedName, std::string AViewName = {},
                            TIPacketPropertyAccessTypes AViewAccess = kBothDirections) {
    return std::make_shared<IPacketMapNameAttribute>(std::move(APropMappedName), std::move(AViewName), AViewAccess);
  }
  std::string ClassName() const override { return "IPacketMapNameAttribute"; }

  std::string FPropMappedName;
};

// A list-like indexed property: its count is the integer property FCountProp, items are added by
// the one-argument method FListAddFunc.
class IPacketListAttribute : public TBaseIPacketViewAttribute {
 public:
  explicit IPacketListAttribute(std::string ACountPropertyName, std::string AnAddListItemFunc = {})
      : FCountProp(std::move(ACountPropertyName)), FListAddFunc(std::move(AnAddListItemFunc)) {}
  static TAttributePtr Make(std::string ACountPropertyName, std::string AnAddListItemFunc = {}) {
    return std::make_shared<IPacketListAttribute>(std::move(ACountPropertyName), std::move(AnAddListItemFunc));
  }
  std::string ClassName() const override { return "IPacketListAttribute"; }

  std::string FCountProp;
  std::string FListAddFunc;
};

struct TPropertyNamesRec {
  std::string PropName;
  std::string PropMappedName;
};
using TPropertyNameArray = std::vector<TPropertyNamesRec>;

// One kind of list the mapping recognises.
struct TObjListConversionRec {
  // Is an object of this class such a list; AItemTypeName names its items.
  bool (*IsList)(const TClassInfo& AClass, std::string& AItemTypeName);
  IPacketPtr (*ListAsPacket)(TObjectRef AList, std::string_view AViewName, const TPropertyNameArray& ASelector);
  void (*ListAdder)(TObjectRef AList, void* AItem);
  bool SpecifiedListItemType;
};
// The registry, in the order tried ("TList<", then "TCommonIndexList<").
const std::vector<TObjListConversionRec>& ObjListConversions();

// Properties of the view AViewName (all published ones, and public ones with an attribute, when
// the name is empty), under their mapped names.
class TIPacketViewObjPropertyAdapter : public TRttiObjPropertyAdapter {
 public:
  TIPacketViewObjPropertyAdapter(TObjectRef AInstance, std::string AViewName);

  void GetPropList(std::vector<TEntry>& List, TIPacketPropertyAccessType APropAccess) override;

 protected:
  // Constant after construction.
  std::string FViewName;
  TMemberVisibility FAttrNeededPropVisiblity = mvPublished;
  // Set by GetPropList.
  bool FHasIndexedProperty = false;

  std::string MappedName(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess) override;
  Variant ReadObjectValue(const TPropInfo& AProp) override;
  bool Copyable(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess) override;
  void WriteValue(const TPropInfo& AProp, const Variant& AValue) override;
  bool IgnoreValue(const TPropInfo& AProp, const Variant& AValue) override;
  Variant ReadIndexed(const TPropInfo& AProp) override;
  void WriteIndexed(const TPropInfo& AProp, const Variant& AValue) override;
  virtual const TPropertyNameArray& Selector() const;
  bool InView(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess) const;
};

// Only the properties named in the selector (names compared exactly), under the selector's names.
class TIPacketViewSelectivePropAdapter : public TIPacketViewObjPropertyAdapter {
 public:
  TIPacketViewSelectivePropAdapter(TObjectRef AInstance, TPropertyNameArray APropertySelector);

 protected:
  // Constant after construction.
  TPropertyNameArray FPropertySelector;

  std::string MappedName(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess) override;
  bool Copyable(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess) override;
  const TPropertyNameArray& Selector() const override { return FPropertySelector; }
};

// An untyped packet of the object's properties in the view (or those of the selector).
IPacketPtr ObjectAsPacket(TObjectRef Obj, std::string_view ViewName = {}, const TPropertyNameArray& Selector = {});
// The packet's properties stored into the object (objects it holds filled in place, lists added to).
void PacketAsObject(const IPacketPtr& Packet, TObjectRef Obj, const TPropertyNameArray& Selector = {},
                    std::string_view ViewName = {});

template <class T>
IPacketPtr ObjectAsPacket(T& Obj, std::string_view ViewName = {}, const TPropertyNameArray& Selector = {}) {
  return ObjectAsPacket(ObjRef(Obj), ViewName, Selector);
}
template <class T>
void PacketAsObject(const IPacketPtr& Packet, T& Obj, const TPropertyNameArray& Selector = {},
                    std::string_view ViewName = {}) {
  PacketAsObject(Packet, ObjRef(Obj), Selector, ViewName);
}

}  // namespace vexor
