#include "packets/mapping/PacketPropertyAdapter.h"

#include "platform/Exceptions.h"
#include "platform/StrFormat.h"

namespace vexor {

// ---- class tables ----

std::string TPropInfo::TypeNameOf() const { return ObjectClass ? ObjectClass()->Name : TypeName; }

std::vector<const TPropInfo*> TClassInfo::AllProperties() const {
  std::vector<const TPropInfo*> r = Parent ? Parent->AllProperties() : std::vector<const TPropInfo*>();
  for (const TPropInfo& p : Properties) r.push_back(&p);
  return r;
}

const TPropInfo* TClassInfo::FindProperty(std::string_view AName) const {
  for (const TClassInfo* c = this; c; c = c->Parent)
    for (const TPropInfo& p : c->Properties)
      if (SameName(p.Name, AName)) return &p;
  return nullptr;
}

const TMethodInfo* TClassInfo::FindMethod(std::string_view AName) const {
  for (const TClassInfo* c = this; c; c = c->Parent)
    for (const TMethodInfo& m : c->Methods)
      if (SameName(m.Name, AName)) return &m;
  return nullptr;
}

bool TClassInfo::InheritsFrom(std::string_view APrefix) const {
  for (const TClassInfo* c = this; c; c = c->Parent)
    if (c->Name.starts_with(APrefix)) return true;
  return false;
}

// ---- TRttiObjPropertyAdapter ----

TRttiObjPropertyAdapter::TRttiObjPropertyAdapter(TObjectRef AInstance, TMemberVisibility AVisibility)
    : FObj(AInstance), FVisibility(AVisibility) {}

std::string TRttiObjPropertyAdapter::QualifiedName(const TPropInfo& AProp) const {
  return FObj.Info->Name + "." + AProp.Name;
}

std::string TRttiObjPropertyAdapter::MappedName(const TPropInfo& AProp, TIPacketPropertyAccessType) {
  return AProp.Name;
}

Variant TRttiObjPropertyAdapter::ReadObjectValue(const TPropInfo& AProp) {
  throw Exception(Format("Invalid READ property type - %s:%s", AProp.Name.c_str(), AProp.TypeNameOf().c_str()));
}

bool TRttiObjPropertyAdapter::Copyable(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess) {
  if (AProp.Indexed || AProp.Visibility < FVisibility) return false;
  if (!(AAccess == toPacket ? AProp.Readable() : AProp.Writable())) return false;
  return !(FObj.Info->RefCounted && AProp.Name == "RefCount");
}

void TRttiObjPropertyAdapter::WriteValue(const TPropInfo& AProp, const Variant& AValue) {
  if (AProp.Kind == tkClass || !AProp.Set)
    throw Exception(Format("Invalid WRITE property type - %s:%s", AProp.Name.c_str(), AProp.TypeNameOf().c_str()));
  // The setter converts to the property's own type: booleans as booleans, other enumerations
  // by their ordinal, packets as deep copies, arrays element by element.
  AProp.Set(FObj.Ptr, AValue);
}

bool TRttiObjPropertyAdapter::IgnoreValue(const TPropInfo&, const Variant&) { return false; }

Variant TRttiObjPropertyAdapter::ReadIndexed(const TPropInfo&) { return Variant(); }
void TRttiObjPropertyAdapter::WriteIndexed(const TPropInfo&, const Variant&) {}

void TRttiObjPropertyAdapter::GetPropList(std::vector<TEntry>& List, TIPacketPropertyAccessType APropAccess) {
  List.clear();
  for (const TPropInfo* p : FObj.Info->AllProperties())
    if (Copyable(*p, APropAccess)) List.push_back(TEntry{p->Name, MappedName(*p, APropAccess), p});
}

Variant TRttiObjPropertyAdapter::GetProp(std::string_view Name) {
  const TPropInfo* p = FObj.Info->FindProperty(Name);
  if (!p || !Copyable(*p, toPacket)) return Variant();
  Variant v;
  if (p->Indexed)
    v = ReadIndexed(*p);
  else if (p->Kind == tkInterface)
    v = Variant(ClonePacket(VarToPacket(p->Get(FObj.Ptr))));
  else if (p->Kind == tkClass)
    v = ReadObjectValue(*p);
  else
    v = p->Get(FObj.Ptr);
  if (IgnoreValue(*p, v)) return Variant();
  return v;
}

void TRttiObjPropertyAdapter::SetProp(std::string_view Name, const Variant& AValue) {
  const TPropInfo* p = FObj.Info->FindProperty(Name);
  if (!p || !Copyable(*p, fromPacket)) return;
  if (p->Indexed)
    WriteIndexed(*p, AValue);
  else
    WriteValue(*p, AValue);
}

// ---- copying ----

IPacketPtr ObjectToPacket(std::string TypeName, TObjectRef Obj, TMemberVisibility Visibility,
                          IPacketPropertyAdapterPtr Adapter) {
  if (!Adapter) Adapter = IPacketPropertyAdapterPtr::Adopt(new TRttiObjPropertyAdapter(Obj, Visibility));
  IPacketPtr r = NewPacket(std::move(TypeName));
  std::vector<IPacketPropertyAdapter::TEntry> list;
  Adapter->GetPropList(list, toPacket);
  IPacketPropertyAccessPtr props = r->GetProperties();
  for (const auto& e : list) {
    Variant v = Adapter->GetProp(e.Name);
    if (!v.IsEmpty()) props->Add(e.MappedName, v);
  }
  return r;
}

void PacketToObject(const IPacketPtr& Packet, TObjectRef Obj, TMemberVisibility Visibility,
                    IPacketPropertyAdapterPtr Adapter) {
  if (!Packet) return;
  if (!Adapter) Adapter = IPacketPropertyAdapterPtr::Adopt(new TRttiObjPropertyAdapter(Obj, Visibility));
  std::vector<IPacketPropertyAdapter::TEntry> list;
  Adapter->GetPropList(list, fromPacket);
  IPacketPropertyAccessPtr props = Packet->GetProperties();
  for (const auto& e : list) {
    Variant v = props->GetPropValue(e.MappedName);
    const TPropTypeKind k = e.Prop->Kind;
    if (v.IsEmpty() && e.Prop->Default && (k == tkInteger || k == tkEnumeration || k == tkInt64))
      v = Variant(static_cast<long long>(*e.Prop->Default));
    if (v.IsEmpty()) continue;
    Adapter->SetProp(e.Name, v);
  }
}

}  // namespace vexor
