#include <mutex>
#include <unordered_map>

#include "platform/Exceptions.h"
#include "packets/internal/PacketsInternal.h"
#include "packets/Packets.h"

namespace vexor {

namespace {

// Type name of the packet a value converts to, without building one for packet variants.
bool ValuePacketName(const Variant& V, std::string_view AName, IPacketPtr& AOut) {
  if (VarIsPacket(V)) {
    IPacket* p = VarPacketRef(V);
    if (p ? SameName(p->GetTypeName(), AName) : AName.empty()) {
      AOut = p ? IPacketPtr(p) : NewPacket();
      return true;
    }
    return false;
  }
  if (V.IsArray() && AName.empty()) {  // an array converts to an untyped packet
    AOut = VarToPacket(V);
    return true;
  }
  return false;
}

}  // namespace

// ---- reading ----

bool TPacket::GetProperty(std::string_view AName, const Variant& Default, Variant& Value) {
  Value = Default;
  if (SameName(AName, "COUNT")) {
    Value = Variant(GetCount());
    return true;
  }
  if (SameName(AName, FTypeName)) {
    if (FData.size() == 1)
      Value = HandOutValue(FData[0]);
    else if (FData.size() > 1)
      Value = Values();
    return true;
  }
  IPacketPtr p;
  for (size_t i = 0; i < FData.size(); ++i) {
    if (!ValuePacketName(FData[i], AName, p)) continue;
    if (p->GetCount() == 1)
      Value = p->GetVar(0);
    else
      Value = p->Values();
    return true;
  }
  return false;
}

Variant TPacket::GetProperty(std::string_view AName, const Variant& Default) {
  Variant v;
  GetProperty(AName, Default, v);
  return v;
}

IPacket* TPacket::FindPropertyObj(std::string_view AName) {
  for (const Variant& v : FData) {
    IPacket* p = VarPacketRef(v);
    if (p && SameName(p->GetTypeName(), AName)) return p;
  }
  return nullptr;
}

Variant TPacket::QueryProperty(std::string_view ADottedName, const Variant& Default) {
  if (ADottedName.find('.') == std::string_view::npos) return GetProperty(ADottedName, Default);
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    size_t dot = ADottedName.find('.', start);
    parts.push_back(ADottedName.substr(start, dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  IPacketPtr cur(this);
  size_t i = 0;
  if (SameName(parts[0], FTypeName)) i = 1;
  for (; i + 1 < parts.size(); ++i) {
    IPacketPtr next;
    for (const Variant& v : cur->__RawData())
      if (ValuePacketName(v, parts[i], next)) break;
    if (!next) return Default;
    cur = next;
  }
  Variant r = cur->GetProperty(parts.back(), Default);
  if (r.IsNull() && !Default.IsEmpty()) return Default;
  return r;
}

// ---- writing ----

void TPacket::PutProperty(std::string_view Name, const Variant& Value, bool IgnoreDots, bool KeepEmpty) {
  if (IgnoreDots || Name.find('.') == std::string_view::npos) {
    StoreProperty(Name, Value, KeepEmpty);
    return;
  }
  IPacketPtr hold;  // keeps the walk's packet alive
  TPacket* cur = this;
  size_t start = 0;
  for (size_t dot; (dot = Name.find('.', start)) != std::string_view::npos; start = dot + 1) {
    std::string_view part = Name.substr(start, dot - start);
    IPacket* child = nullptr;
    IPacketPtr conv;
    for (const Variant& v : cur->FData)
      if (ValuePacketName(v, part, conv)) {
        child = conv.get();
        break;
      }
    if (!child) {
      auto* created = new TPropertyPacket(part);
      conv = IPacketPtr(static_cast<IPacket*>(created));
      cur->FData.push_back(AdoptAsInterfaceValue(created));
      child = created;
    }
    auto* next = dynamic_cast<TPacket*>(child);
    if (!next) {
      child->PutProperty(Name.substr(dot + 1), Value, false, KeepEmpty);
      return;
    }
    hold = conv;
    cur = next;
  }
  cur->StoreProperty(Name.substr(start), Value, KeepEmpty);
}

void TPacket::StoreProperty(std::string_view Name, const Variant& Value, bool KeepEmpty) {
  IPacket* held = VarPacketRef(Value);
  if (!Name.empty() && SameName(Name, FTypeName)) {
    if (held == this) return;  // already its own values
    Variant keep(Value);
    Clear();
    if (!keep.IsEmpty()) PutValues(keep);
    return;
  }
  if (KeepEmpty || !Value.IsEmpty()) {
    for (const Variant& v : FData) {
      if (!VarIsPacket(v)) continue;
      IPacket* p = VarPacketRef(v);
      if (!p ? !Name.empty() : !SameName(p->GetTypeName(), Name)) continue;
      if (!p) break;  // a null reference stands for an untyped empty packet: nothing to refill
      if (held == p) return;
      IPacketPtr prop(p);
      Variant keep(Value);
      prop->Clear();
      prop->PutValues(keep);
      return;
    }
    if (!Value.IsEmpty()) FData.push_back(AdoptAsInterfaceValue(new TPropertyPacket(Name, Value)));
    return;
  }
  DelPropValue(Name);
}

void TPacket::RemoveProperty(std::string_view ADottedName) { PutProperty(ADottedName, Variant(), false, false); }

void TPacket::MakeUntyped() {
  if (FTypeName.empty()) return;
  if (FData.size() == 1) {
    Variant v = FData[0];
    FData[0] = AdoptAsInterfaceValue(new TPropertyPacket(FTypeName, v));
    FTypeName = TSharedText();
  } else if (FData.empty()) {
    FTypeName = TSharedText();
  }
}

// ---- named-property view ----

IPacketPropertyAccessPtr TPacket::GetProperties() { return IPacketPropertyAccessPtr(this); }

Variant TPacket::GetPropValueByIndex(int32_t Index) {
  const Variant& v = ValueAt(Index);
  IPacket* p = VarPacketRef(v);
  if (!p) return VarIsPacket(v) ? Variant::Array(varVariant, {}) : v;
  int32_t n = p->GetCount();
  if (n == 0) return Variant::Array(varVariant, {});
  if (n == 1) return p->GetVar(0);
  return Variant(NewPacketFromArray({}, p->__RawData().ToArray()));
}

Variant TPacket::GetPropValue(std::string_view AName) { return GetProperty(AName, Variant()); }

std::string TPacket::GetPropName(int32_t Index) {
  IPacket* p = VarPacketRef(ValueAt(Index));
  std::string name = p ? std::string(p->GetTypeName()) : std::string();
  if (name.empty() && IsTyped() && FData.size() == 1) return FTypeName.Str();
  return name;
}

bool TPacket::Exists(std::string_view AName) {
  Variant v;
  return GetProperty(AName, Variant(), v);
}

void TPacket::SetPropValue(std::string_view AName, const Variant& Value) { PutProperty(AName, Value); }

void TPacket::DelPropValue(std::string_view AName) {
  for (size_t i = 0; i < FData.size(); ++i) {
    IPacket* p = VarPacketRef(FData[i]);
    if (p && SameName(p->GetTypeName(), AName)) {
      FData.erase(FData.begin() + static_cast<ptrdiff_t>(i));
      return;
    }
  }
}

IPacketPropertyAccessPtr TPacket::Add(std::string_view Name, const Variant& Value) {
  PutProperty(Name, Value);
  return IPacketPropertyAccessPtr(this);
}

IPacketPropertyAccessPtr TPacket::AddV(std::string_view Name, const Variant& Value) {
  PutProperty(Name, Value, false);
  return IPacketPropertyAccessPtr(this);
}

// ---- Apply and Merge ----

namespace {

// The existing property's values as an untyped packet. Reading them through GetPropValue would
// give the single nested property itself when there is only one, and the deep step would then
// append the new properties inside that one instead of beside it.
IPacketPtr MineOf(TPacket* ASelf, const std::string& AName) {
  if (IPacket* prop = ASelf->FindPropertyObj(AName)) return NewPacketFromArray({}, prop->ValuesArray());
  return VarToPacket(ASelf->GetPropValue(AName));
}

void DeepStep(TPacket* ASelf, const std::string& AName, const Variant& V) {
  IPacketPtr src = VarToPacket(V);
  IPacketPtr mine = MineOf(ASelf, AName);
  if (!src || !mine || !mine->IsPropertyList()) return;
  if (src->IsTyped())
    mine->Put(Variant(src));
  else
    mine->Apply(src, true);
  ASelf->PutProperty(AName, mine->AsVariant());
}

bool DeepApplies(TPacket* ASelf, const std::string& AName, const Variant& V) {
  IPacketPtr src = VarToPacket(V);
  if (!src) return false;
  IPacketPtr mine = MineOf(ASelf, AName);
  return mine && mine->IsPropertyList();
}

IPacketPtr PrepareSource(const IPacketPtr& Value) {
  if (!Value->IsTyped()) return Value;
  IPacketPtr c = ClonePacket(Value);
  c->MakeUntyped();
  return c;
}

}  // namespace

IPacketPtr TPacket::Apply(const Variant& Value, bool ADeep) {
  if (Value.IsEmpty()) return IPacketPtr(this);
  if (!VarIsPacket(Value)) throw Exception("Error: only packet variants can be applied");
  return Apply(VarToPacket(Value), ADeep);
}

IPacketPtr TPacket::Apply(const IPacketPtr& Value, bool ADeep) {
  if (!Value) return IPacketPtr(this);
  IPacketPtr src = PrepareSource(Value);
  IPacketPropertyAccessPtr view = src->GetProperties();
  for (int32_t i = 0; i < view->GetCount(); ++i) {
    std::string name = view->GetPropName(i);
    Variant v = view->GetPropValueByIndex(i);
    if (!Exists(name))
      PutProperty(name, v);
    else if (ADeep)
      DeepStep(this, name, v);
  }
  return IPacketPtr(this);
}

IPacketPtr TPacket::Merge(const IPacketPtr& Value, bool ADeep) {
  if (!Value) return IPacketPtr(this);
  IPacketPtr src = PrepareSource(Value);
  IPacketPropertyAccessPtr view = src->GetProperties();
  for (int32_t i = 0; i < view->GetCount(); ++i) {
    std::string name = view->GetPropName(i);
    Variant v = view->GetPropValueByIndex(i);
    if (ADeep && Exists(name) && DeepApplies(this, name, v))
      DeepStep(this, name, v);
    else
      PutProperty(name, v);
  }
  return IPacketPtr(this);
}

// ---- builder ----

namespace {

std::mutex gBuildLinksLock;
// Child -> the packet its building expression returns to. Guarded by gBuildLinksLock.
std::unordered_map<const TPacket*, TPacket*> gBuildLinks;

}  // namespace

void TPacket::SetBuildParent(TPacket* AParent) {
  std::lock_guard lock(gBuildLinksLock);
  gBuildLinks[this] = AParent;
  FHasBuildParent = true;
}

TPacket* TPacket::BuildParent() {
  if (!FHasBuildParent) return nullptr;
  std::lock_guard lock(gBuildLinksLock);
  auto it = gBuildLinks.find(this);
  return it == gBuildLinks.end() ? nullptr : it->second;
}

TPacket* TPacket::TakeBuildParent() {
  if (!FHasBuildParent) return nullptr;
  FHasBuildParent = false;
  std::lock_guard lock(gBuildLinksLock);
  auto it = gBuildLinks.find(this);
  if (it == gBuildLinks.end()) return nullptr;
  TPacket* parent = it->second;
  gBuildLinks.erase(it);
  return parent;
}


IVObjCreatorPtr TPacket::SetProperty(std::string_view Key, const Variant& Value) {
  PutProperty(Key, Value, false);
  return IVObjCreatorPtr(this);
}

IVObjCreatorPtr TPacket::VrWith(std::string_view Key) {
  TPacket* child = dynamic_cast<TPacket*>(FindPropertyObj(Key));
  if (!child) {
    child = new TPropertyPacket(Key);
    FData.push_back(AdoptAsInterfaceValue(child));
  }
  child->SetBuildParent(this);
  return IVObjCreatorPtr(child);
}

IVObjCreatorPtr TPacket::VrIf(bool Condition) {
  if (FCondition) throw Exception("Assertion failure: a conditional section is already open");
  if (Condition) {
    FCondition = true;
    return IVObjCreatorPtr(this);
  }
  auto* scratch = new TPacket();
  scratch->SetBuildParent(this);
  return IVObjCreatorPtr::Adopt(scratch);
}

IVObjCreatorPtr TPacket::VrEnd() {
  if (FCondition) {
    FCondition = false;
    return IVObjCreatorPtr(this);
  }
  // The link is dropped once followed: it must not outlive the building expression.
  if (TPacket* parent = TakeBuildParent()) return IVObjCreatorPtr(parent);
  return IVObjCreatorPtr(this);
}

IVObjCreatorPtr TPacket::VrAdd(const std::vector<std::string>& PropertyNames, const TVariantArray& Values) {
  for (size_t i = 0; i < PropertyNames.size(); ++i)
    PutProperty(PropertyNames[i], i < Values.size() ? Values[i] : Variant::Null(), false, true);
  return IVObjCreatorPtr(this);
}

IVObjCreatorPtr TPacket::VrRec(std::string_view Key, const std::vector<std::string>& PropertyNames,
                               const TVariantArray& Values) {
  IVObjCreatorPtr child = VrWith(Key);
  child->VrAdd(PropertyNames, Values);
  return child->VrEnd();
}

IPacketPtr TPacket::Value() {
  TPacket* p = this;
  while (TPacket* parent = p->BuildParent()) p = parent;
  return IPacketPtr(static_cast<IPacket*>(p));
}

IPacketPtr NewRecordPacket(std::string TypeName, const std::vector<std::string>& PropertyNames,
                           const TVariantArray& Values) {
  auto* p = new TPacket(TypeName);
  IPacketPtr result = IPacketPtr::Adopt(p);
  p->VrAdd(PropertyNames, Values);
  return result;
}

IVObjCreatorPtr NewVObj(std::string TypeName) { return IVObjCreatorPtr::Adopt(new TPacket(TypeName)); }

}  // namespace vexor
