#include "packets/mapping/PacketViewAdapter.h"

#include "platform/StrFormat.h"

namespace vexor {

namespace {

[[noreturn]] void Fail(const std::string& AMessage) { throw EPacketConversionsException(AMessage); }

bool IsListNamed(const TClassInfo& AClass, std::string_view APrefix, std::string& AItemTypeName) {
  for (const TClassInfo* c = &AClass; c; c = c->Parent) {
    if (c->Name.starts_with(APrefix) && c->List) {
      AItemTypeName = c->List->ItemTypeName;
      return true;
    }
  }
  return false;
}

const TListInfo& ListOf(const TClassInfo& AClass) {
  for (const TClassInfo* c = &AClass; c; c = c->Parent)
    if (c->List) return *c->List;
  Fail(AClass.Name + ": not a list");
}

// Every item in order: its "AsPacket" packet when it has one and no selector is in force, else
// the item mapped in the view.
IPacketPtr ItemsAsPacket(TObjectRef AList, std::string_view AViewName, const TPropertyNameArray& ASelector) {
  const TListInfo& l = ListOf(*AList.Info);
  IPacketPtr r = NewPacket();
  const TClassInfo* itemClass = l.ItemClass ? l.ItemClass() : nullptr;
  const TPropInfo* asPacket = itemClass ? itemClass->FindProperty("AsPacket") : nullptr;
  if (asPacket && (asPacket->Kind != tkInterface || !asPacket->Get)) asPacket = nullptr;
  for (int32_t i = 0, n = l.Count(AList.Ptr); i < n; ++i) {
    void* item = l.Item(AList.Ptr, i);
    if (!item) continue;
    TObjectRef ref{item, itemClass};
    if (asPacket && ASelector.empty())
      r->Put(asPacket->Get(item));
    else
      r->Put(Variant(ObjectAsPacket(ref, AViewName, ASelector)));
  }
  return r;
}

void AddItem(TObjectRef AList, void* AItem) { ListOf(*AList.Info).Add(AList.Ptr, AItem); }

// A new item of AClass filled from APacket.
void* NewItem(const TClassInfo& AClass, const IPacketPtr& APacket, std::string_view AViewName,
              const TPropertyNameArray& ASelector) {
  if (!AClass.Create) Fail(Format("%s must have default constructor Create", AClass.Name.c_str()));
  void* item = AClass.Create();
  try {
    PacketAsObject(APacket, TObjectRef{item, &AClass}, ASelector, AViewName);
  } catch (...) {
    AClass.Destroy(item);
    throw;
  }
  return item;
}

}  // namespace

const std::vector<TObjListConversionRec>& ObjListConversions() {
  static const std::vector<TObjListConversionRec> kConversions = {
      {[](const TClassInfo& C, std::string& AItem) { return IsListNamed(C, "TList<", AItem); }, ItemsAsPacket, AddItem,
       true},
      {[](const TClassInfo& C, std::string& AItem) { return IsListNamed(C, "TCommonIndexList<", AItem); },
       ItemsAsPacket, AddItem, true},
  };
  return kConversions;
}

// ---- TIPacketViewObjPropertyAdapter ----

TIPacketViewObjPropertyAdapter::TIPacketViewObjPropertyAdapter(TObjectRef AInstance, std::string AViewName)
    : TRttiObjPropertyAdapter(AInstance, mvPublic), FViewName(std::move(AViewName)) {}

const TPropertyNameArray& TIPacketViewObjPropertyAdapter::Selector() const {
  static const TPropertyNameArray kNone;
  return kNone;
}

bool TIPacketViewObjPropertyAdapter::InView(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess) const {
  if (FViewName.empty()) {
    if (AProp.Visibility >= FAttrNeededPropVisiblity) return true;
    return !AProp.Attributes.empty();
  }
  for (const TAttributePtr& a : AProp.Attributes)
    if (auto* v = dynamic_cast<const IPacketViewAttribute*>(a.get()); v && v->Matches(FViewName, AAccess)) return true;
  return false;
}

bool TIPacketViewObjPropertyAdapter::Copyable(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess) {
  if (AProp.Visibility < FVisibility) return false;
  if (AProp.Indexed) {
    if (AAccess == toPacket && !AProp.Readable()) return false;
    return AProp.FindAttribute<IPacketListAttribute>() && InView(AProp, AAccess);
  }
  // An object is filled in place, so it only needs to be readable.
  const bool ok = AAccess == toPacket || AProp.Kind == tkClass ? AProp.Readable() : AProp.Writable();
  if (!ok || (FObj.Info->RefCounted && AProp.Name == "RefCount")) return false;
  return InView(AProp, AAccess);
}

void TIPacketViewObjPropertyAdapter::GetPropList(std::vector<TEntry>& List, TIPacketPropertyAccessType APropAccess) {
  TRttiObjPropertyAdapter::GetPropList(List, APropAccess);
  for (const TEntry& e : List)
    if (e.Prop->Indexed) FHasIndexedProperty = true;
}

std::string TIPacketViewObjPropertyAdapter::MappedName(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess) {
  for (const TAttributePtr& a : AProp.Attributes) {
    auto* m = dynamic_cast<const IPacketMapNameAttribute*>(a.get());
    if (!m || !m->Matches(FViewName, AAccess)) continue;
    if (m->FPropMappedName.empty())
      Fail(Format("Mapped name missing for %s for property \"%s\"", m->ClassName().c_str(),
                  QualifiedName(AProp).c_str()));
    return m->FPropMappedName;
  }
  return AProp.Name;
}

Variant TIPacketViewObjPropertyAdapter::ReadObjectValue(const TPropInfo& AProp) {
  void* obj = AProp.GetObject(FObj.Ptr);
  if (!obj) return Variant(NewPacket());
  TObjectRef ref{obj, AProp.ObjectClass()};
  std::string itemType;
  for (const TObjListConversionRec& c : ObjListConversions())
    if (c.IsList(*ref.Info, itemType)) return Variant(c.ListAsPacket(ref, FViewName, Selector()));
  return Variant(ObjectAsPacket(ref, FViewName, Selector()));
}

void TIPacketViewObjPropertyAdapter::WriteValue(const TPropInfo& AProp, const Variant& AValue) {
  if (AProp.Kind != tkClass) return TRttiObjPropertyAdapter::WriteValue(AProp, AValue);
  void* obj = AProp.GetObject(FObj.Ptr);
  if (!obj) return;
  TObjectRef ref{obj, AProp.ObjectClass()};
  IPacketPtr packet = VarToPacket(AValue);
  if (!packet) return;
  std::string itemType;
  for (const TObjListConversionRec& c : ObjListConversions()) {
    if (!c.IsList(*ref.Info, itemType)) continue;
    const TListInfo& l = ListOf(*ref.Info);
    const TClassInfo* itemClass = c.SpecifiedListItemType && l.ItemClass ? l.ItemClass() : nullptr;
    if (!itemClass) Fail(Format("%s: Unknown list item type: %s", QualifiedName(AProp).c_str(), itemType.c_str()));
    // A property list is one item; any other packet one item per value.
    if (packet->IsPropertyList()) {
      c.ListAdder(ref, NewItem(*itemClass, packet, FViewName, Selector()));
      return;
    }
    for (const Variant& v : packet->ValuesArray())
      if (IPacketPtr p = VarToPacket(v)) c.ListAdder(ref, NewItem(*itemClass, p, FViewName, Selector()));
    return;
  }
  PacketAsObject(packet, ref, Selector(), FViewName);
}

bool TIPacketViewObjPropertyAdapter::IgnoreValue(const TPropInfo& AProp, const Variant& AValue) {
  if (!AProp.Default || AValue.IsEmpty()) return false;
  if (AValue.Kind() == varBoolean) return AValue.AsBoolean() == (*AProp.Default != 0);
  if (!AValue.IsNumeric()) return false;
  return AValue.AsDouble() == static_cast<double>(*AProp.Default);
}

Variant TIPacketViewObjPropertyAdapter::ReadIndexed(const TPropInfo& AProp) {
  const IPacketListAttribute* attr = AProp.FindAttribute<IPacketListAttribute>();
  if (!attr)
    Fail(Format("[%s] attribute missing for indexed property \"%s\"", "IPacketListAttribute",
                QualifiedName(AProp).c_str()));
  const TPropInfo* countProp = FObj.Info->FindProperty(attr->FCountProp);
  int32_t count = 0;
  bool ok = countProp && countProp->Get && !countProp->Indexed &&
            (countProp->Kind == tkInteger || countProp->Kind == tkInt64);
  if (ok) {
    try {
      count = countProp->Get(FObj.Ptr).AsInt32();
    } catch (const Exception&) {
      ok = false;
    }
  }
  if (!ok)
    Fail(Format("Missing or invalid item count property \"%s\" for indexed property \"%s\"", attr->FCountProp.c_str(),
                QualifiedName(AProp).c_str()));
  TVariantArray items;
  for (int32_t i = 0; i < count; ++i) {
    if (AProp.GetItemObject) {
      void* item = AProp.GetItemObject(FObj.Ptr, i);
      items.push_back(item ? Variant(ObjectAsPacket(TObjectRef{item, AProp.ObjectClass()}, FViewName, Selector()))
                           : Variant(NewPacket()));
    } else {
      items.push_back(AProp.GetItem(FObj.Ptr, i));
    }
  }
  return Variant(NewPacketOfValues("", items, true));
}

void TIPacketViewObjPropertyAdapter::WriteIndexed(const TPropInfo& AProp, const Variant& AValue) {
  const TMethodInfo* adder = nullptr;
  std::string adderName;
  for (const TAttributePtr& a : AProp.Attributes) {
    auto* l = dynamic_cast<const IPacketListAttribute*>(a.get());
    if (!l) continue;
    adderName = l->FListAddFunc;
    const TMethodInfo* m = l->FListAddFunc.empty() ? nullptr : FObj.Info->FindMethod(l->FListAddFunc);
    if (m && m->ParamKind == AProp.Kind) {
      adder = m;
      break;
    }
  }
  if (!adder)
    Fail(Format("Invalid or missing list adder method \"%s\" for indexed property \"%s\"", adderName.c_str(),
                QualifiedName(AProp).c_str()));
  for (const Variant& v : VarToValuesArray(AValue)) {
    if (AProp.Kind == tkClass) {
      IPacketPtr p;
      if (!TryVarToPacket(v, p)) continue;
      adder->CallObject(FObj.Ptr, NewItem(*adder->ParamClass(), p, FViewName, Selector()));
    } else {
      adder->CallValue(FObj.Ptr, v);
    }
  }
}

// ---- TIPacketViewSelectivePropAdapter ----

TIPacketViewSelectivePropAdapter::TIPacketViewSelectivePropAdapter(TObjectRef AInstance,
                                                                   TPropertyNameArray APropertySelector)
    : TIPacketViewObjPropertyAdapter(AInstance, {}), FPropertySelector(std::move(APropertySelector)) {}

bool TIPacketViewSelectivePropAdapter::Copyable(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess) {
  for (const TPropertyNamesRec& r : FPropertySelector)
    if (r.PropName == AProp.Name) return TIPacketViewObjPropertyAdapter::Copyable(AProp, AAccess);
  return false;
}

std::string TIPacketViewSelectivePropAdapter::MappedName(const TPropInfo& AProp, TIPacketPropertyAccessType) {
  for (const TPropertyNamesRec& r : FPropertySelector)
    if (r.PropName == AProp.Name) return r.PropMappedName;
  return AProp.Name;
}

// ---- entry points ----

namespace {
IPacketPropertyAdapterPtr AdapterFor(TObjectRef Obj, std::string_view ViewName, const TPropertyNameArray& Selector) {
  if (!Selector.empty()) return IPacketPropertyAdapterPtr::Adopt(new TIPacketViewSelectivePropAdapter(Obj, Selector));
  return IPacketPropertyAdapterPtr::Adopt(new TIPacketViewObjPropertyAdapter(Obj, std::string(ViewName)));
}
}  // namespace

IPacketPtr ObjectAsPacket(TObjectRef Obj, std::string_view ViewName, const TPropertyNameArray& Selector) {
  return ObjectToPacket("", Obj, mvPublic, AdapterFor(Obj, ViewName, Selector));
}

void PacketAsObject(const IPacketPtr& Packet, TObjectRef Obj, const TPropertyNameArray& Selector,
                    std::string_view ViewName) {
  PacketToObject(Packet, Obj, mvPublic, AdapterFor(Obj, ViewName, Selector));
}

}  // namespace vexor
