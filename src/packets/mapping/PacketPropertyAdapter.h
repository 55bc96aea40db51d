#pragma once
// Copying an object's properties into a packet and back. C++ has no run-time reflection, so a
// class that takes part registers its properties once, in a table: name, type, visibility,
// getter and setter, declared default and attributes, with a few readable lines:
//
//   const TClassInfo& TPerson::ClassInfo() {
//     static const TClassInfo info = TClassInfo::Of<TPerson>("TPerson")
//         .Published("Name", &TPerson::Name)
//         .Published("Age", &TPerson::GetAge, &TPerson::SetAge).Default(0)
//         .Public("Born", &TPerson::Born).AsDateTime()
//         .Build();
//     return info;
//   }
//
// IPacketPropertyAdapter reads and writes one object's properties by name; TRttiObjPropertyAdapter
// is the adapter over such a table; ObjectToPacket and PacketToObject copy with it.
// Tables are built on first use (thread-safe) and read-only after; an adapter and the object it
// refers to are used by one thread at a time.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <type_traits>
#include <utility>
#include <vector>

#include "packets/Packets.h"

namespace vexor {

inline constexpr const char* IID_IPacketPropertyAdapter = "{DBD6782B-8E91-46EA-900A-978472298795}";

enum TIPacketPropertyAccessType : uint8_t { toPacket, fromPacket };
// Least to most visible; published properties are the ones a class offers by default.
enum TMemberVisibility : uint8_t { mvPrivate, mvProtected, mvPublic, mvPublished };
enum TPropTypeKind : uint8_t {
  tkInteger,
  tkInt64,
  tkFloat,
  tkEnumeration,
  tkString,
  tkVariant,
  tkClass,
  tkInterface,
  tkDynArray
};

// Base of the declarative markers attached to properties (see PacketViewAdapter.h).
class TBaseIPacketViewAttribute {
 public:
  virtual ~TBaseIPacketViewAttribute() = default;
  virtual std::string ClassName() const = 0;
};
using TAttributePtr = std::shared_ptr<const TBaseIPacketViewAttribute>;

struct TClassInfo;

// One registered property.
struct TPropInfo {
  std::string Name;
  TPropTypeKind Kind = tkVariant;
  std::string
      TypeName;  // "Integer", "Int64", "Double", "TDateTime", "Boolean", "string", "Variant", "IPacket", a class name
  TMemberVisibility Visibility = mvPublished;
  // Reads the value as a packet value (scalars, texts, IPacket, arrays); null: not readable.
  std::function<Variant(const void* AObj)> Get;
  // Stores a value already converted to the property's kind; null: not writable.
  std::function<void(void* AObj, const Variant& AValue)> Set;
  // Class-typed properties: the object held (may be null) and its class.
  std::function<void*(const void* AObj)> GetObject;
  const TClassInfo* (*ObjectClass)() = nullptr;
  // Dynamic arrays: the element kind the setter wants.
  TVarType ElementKind = varVariant;
  // Indexed (list-like) properties: one item by index; the adder is a registered method.
  bool Indexed = false;
  std::function<Variant(const void* AObj, int32_t AIndex)> GetItem;
  std::function<void*(const void* AObj, int32_t AIndex)> GetItemObject;
  std::optional<int64_t> Default;
  std::vector<TAttributePtr> Attributes;

  bool Readable() const { return Get || GetObject || GetItem || GetItemObject; }
  // The type's name (a class-typed property's from its class).
  std::string TypeNameOf() const;
  bool Writable() const { return static_cast<bool>(Set) || (Kind == tkClass && GetObject); }
  bool IsClass() const { return Kind == tkClass; }
  template <class A>
  const A* FindAttribute() const {
    for (const TAttributePtr& a : Attributes)
      if (auto* x = dynamic_cast<const A*>(a.get())) return x;
    return nullptr;
  }
};

// A registered method taking one argument (list adders): a value, or an object of ParamClass.
struct TMethodInfo {
  std::string Name;
  TPropTypeKind ParamKind = tkVariant;
  const TClassInfo* (*ParamClass)() = nullptr;
  std::function<void(void* AObj, const Variant& AValue)> CallValue;
  std::function<void(void* AObj, void* AItem)> CallObject;  // takes ownership of AItem
};

// The list-likeness of a class: its items, in order, and how one is added.
struct TListInfo {
  std::string ItemTypeName;
  const TClassInfo* (*ItemClass)() = nullptr;
  std::function<int32_t(const void* AList)> Count;
  std::function<void*(const void* AList, int32_t AIndex)> Item;
  std::function<void(void* AList, void* AItem)> Add;  // takes ownership of AItem
};

struct TClassInfo {
  std::string Name;
  const TClassInfo* Parent = nullptr;
  bool RefCounted = false;
  std::vector<TPropInfo> Properties;
  std::vector<TMethodInfo> Methods;
  // A parameterless "Create"; null when the class has none.
  std::function<void*()> Create;
  std::function<void(void*)> Destroy;
  std::optional<TListInfo> List;

  template <class T>
  class TBuilder;
  template <class T>
  static TBuilder<T> Of(std::string AName);

  // Own and inherited properties, the base class's first.
  std::vector<const TPropInfo*> AllProperties() const;
  const TPropInfo* FindProperty(std::string_view AName) const;
  const TMethodInfo* FindMethod(std::string_view AName) const;
  // This class or one of its bases has the name.
  bool InheritsFrom(std::string_view APrefix) const;
};

// A registered object: its address and its class.
struct TObjectRef {
  void* Ptr = nullptr;
  const TClassInfo* Info = nullptr;
};
template <class T>
TObjectRef ObjRef(T& AObj) {
  return TObjectRef{static_cast<void*>(&AObj), &T::ClassInfo()};
}

class IPacketPropertyAdapter : public virtual IInterface {
 public:
  // One entry per property copyable in the direction: name, mapped name, the property.
  struct TEntry {
    std::string Name;
    std::string MappedName;
    const TPropInfo* Prop;
  };
  virtual void GetPropList(std::vector<TEntry>& List, TIPacketPropertyAccessType APropAccess) = 0;
  virtual Variant GetProp(std::string_view Name) = 0;
  virtual void SetProp(std::string_view Name, const Variant& AValue) = 0;
};
using IPacketPropertyAdapterPtr = TRefPtr<IPacketPropertyAdapter>;

class TRttiObjPropertyAdapter : public TRefCntObject, public virtual IPacketPropertyAdapter {
 public:
  TRttiObjPropertyAdapter(TObjectRef AInstance, TMemberVisibility AVisibility);

  void GetPropList(std::vector<TEntry>& List, TIPacketPropertyAccessType APropAccess) override;
  Variant GetProp(std::string_view Name) override;
  void SetProp(std::string_view Name, const Variant& AValue) override;

 protected:
  // Constant after construction; the object is not owned.
  TObjectRef FObj;
  TMemberVisibility FVisibility;

  // The adapter's slots, in order.
  virtual std::string MappedName(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess);
  virtual Variant ReadObjectValue(const TPropInfo& AProp);
  virtual bool Copyable(const TPropInfo& AProp, TIPacketPropertyAccessType AAccess);
  virtual void WriteValue(const TPropInfo& AProp, const Variant& AValue);
  virtual bool IgnoreValue(const TPropInfo& AProp, const Variant& AValue);
  // Indexed properties (none in the base adapter).
  virtual Variant ReadIndexed(const TPropInfo& AProp);
  virtual void WriteIndexed(const TPropInfo& AProp, const Variant& AValue);
  std::string QualifiedName(const TPropInfo& AProp) const;
};

// An untyped (or AtypeName-typed) packet of the object's properties, each under its mapped name;
// empty values are left out. Without an adapter, a TRttiObjPropertyAdapter of AVisibility.
IPacketPtr ObjectToPacket(std::string TypeName, TObjectRef Obj, TMemberVisibility Visibility,
                          IPacketPropertyAdapterPtr Adapter = nullptr);
// The packet's properties stored into the object; a missing one is left as it is (or set to the
// property's declared default).
void PacketToObject(const IPacketPtr& Packet, TObjectRef Obj, TMemberVisibility Visibility,
                    IPacketPropertyAdapterPtr Adapter = nullptr);

// ---- registration ----

namespace detail {

template <class M>
struct TPropTraits {
  static constexpr bool kEnum = std::is_enum_v<M>;
};

template <class T>
struct TIsVector : std::false_type {};
template <class E, class A>
struct TIsVector<std::vector<E, A>> : std::true_type {
  using Elem = E;
};

template <class M>
void Describe(TPropInfo& P) {
  if constexpr (std::is_same_v<M, bool>) {
    P.Kind = tkEnumeration, P.TypeName = "Boolean";
  } else if constexpr (std::is_enum_v<M>) {
    P.Kind = tkEnumeration, P.TypeName = typeid(M).name();
  } else if constexpr (std::is_same_v<M, int64_t> || std::is_same_v<M, uint64_t>) {
    P.Kind = tkInt64, P.TypeName = std::is_same_v<M, int64_t> ? "Int64" : "UInt64";
  } else if constexpr (std::is_integral_v<M>) {
    P.Kind = tkInteger, P.TypeName = "Integer";
  } else if constexpr (std::is_floating_point_v<M>) {
    P.Kind = tkFloat, P.TypeName = "Double";
  } else if constexpr (std::is_same_v<M, std::string>) {
    P.Kind = tkString, P.TypeName = "string";
  } else if constexpr (std::is_same_v<M, Variant>) {
    P.Kind = tkVariant, P.TypeName = "Variant";
  } else if constexpr (std::is_same_v<M, IPacketPtr>) {
    P.Kind = tkInterface, P.TypeName = "IPacket";
  } else if constexpr (TIsVector<M>::value) {
    P.Kind = tkDynArray, P.TypeName = "TArray";
  } else {
    static_assert(sizeof(M) == 0, "unsupported property type");
  }
}

// A property value as a packet value.
template <class M>
Variant ToVariant(const M& A) {
  if constexpr (std::is_enum_v<M>) {
    return Variant(static_cast<long long>(A));
  } else if constexpr (std::is_same_v<M, IPacketPtr>) {
    return Variant(A);
  } else if constexpr (TIsVector<M>::value) {
    using E = typename TIsVector<M>::Elem;
    if constexpr (std::is_same_v<E, uint8_t>) {
      return Variant::ByteArray(TBytes(A.begin(), A.end()));
    } else {
      TVariantArray items;
      for (const E& e : A) items.push_back(ToVariant(e));
      return Variant::Array(std::is_same_v<E, int32_t> ? varInteger : varVariant, std::move(items));
    }
  } else if constexpr (std::is_same_v<M, int64_t>) {
    return Variant(static_cast<long long>(A));
  } else if constexpr (std::is_same_v<M, uint64_t>) {
    return Variant(static_cast<unsigned long long>(A));
  } else {
    return Variant(A);
  }
}

// A packet value converted to the property's type.
template <class M>
M FromVariant(const Variant& V) {
  if constexpr (std::is_same_v<M, bool>) {
    return V.AsBoolean();
  } else if constexpr (std::is_enum_v<M>) {
    return static_cast<M>(V.AsInt64());
  } else if constexpr (std::is_same_v<M, int64_t>) {
    return V.AsInt64();
  } else if constexpr (std::is_same_v<M, uint64_t>) {
    return V.AsUInt64();
  } else if constexpr (std::is_integral_v<M>) {
    return static_cast<M>(V.AsInt64());
  } else if constexpr (std::is_floating_point_v<M>) {
    return static_cast<M>(V.AsDouble());
  } else if constexpr (std::is_same_v<M, std::string>) {
    return V.AsString();
  } else if constexpr (std::is_same_v<M, Variant>) {
    return V;
  } else if constexpr (std::is_same_v<M, IPacketPtr>) {
    return ClonePacket(VarToPacket(V));
  } else if constexpr (TIsVector<M>::value) {
    M r;
    for (const Variant& e : VarToValuesArray(V)) r.push_back(FromVariant<typename TIsVector<M>::Elem>(e));
    return r;
  }
}

template <class T, class = void>
struct THasClassInfo : std::false_type {};
template <class T>
struct THasClassInfo<T, std::void_t<decltype(T::ClassInfo())>> : std::true_type {};

}  // namespace detail

template <class T>
class TClassInfo::TBuilder {
 public:
  explicit TBuilder(std::string AName) {
    FInfo.Name = std::move(AName);
    FInfo.RefCounted = std::is_base_of_v<IInterface, T>;
    if constexpr (std::is_default_constructible_v<T>) {
      FInfo.Create = [] { return static_cast<void*>(new T()); };
    }
    FInfo.Destroy = [](void* A) { delete static_cast<T*>(A); };
  }

  template <class B>
  TBuilder& Inherits() {
    static_assert(std::is_base_of_v<B, T>);
    FInfo.Parent = &B::ClassInfo();
    return *this;
  }

  // A field.
  template <class M>
  TBuilder& Published(std::string AName, M T::*AField) {
    return Field(std::move(AName), AField, mvPublished);
  }
  template <class M>
  TBuilder& Public(std::string AName, M T::*AField) {
    return Field(std::move(AName), AField, mvPublic);
  }
  // A getter and a setter (either may be null).
  template <class M>
  TBuilder& Published(std::string AName, M (T::*AGet)() const, void (T::*ASet)(M) = nullptr) {
    return Accessors(std::move(AName), AGet, ASet, mvPublished);
  }
  template <class M>
  TBuilder& Public(std::string AName, M (T::*AGet)() const, void (T::*ASet)(M) = nullptr) {
    return Accessors(std::move(AName), AGet, ASet, mvPublic);
  }
  // An object held by the instance (pointer field, owned by the instance; the mapping fills it in
  // place or, for a list, adds to it).
  template <class O>
  TBuilder& Published(std::string AName, O* T::*AField) {
    return ObjectField(std::move(AName), AField, mvPublished);
  }
  template <class O>
  TBuilder& Public(std::string AName, O* T::*AField) {
    return ObjectField(std::move(AName), AField, mvPublic);
  }
  // A list-like indexed property: items by index (its count and adder are named by an
  // IPacketListAttribute).
  template <class M>
  TBuilder& Indexed(std::string AName, M (T::*AGetItem)(int32_t) const, TMemberVisibility AVisibility = mvPublic) {
    TPropInfo p;
    p.Name = std::move(AName);
    detail::Describe<std::decay_t<M>>(p);
    p.Visibility = AVisibility;
    p.Indexed = true;
    p.GetItem = [AGetItem](const void* O, int32_t I) {
      return detail::ToVariant((static_cast<const T*>(O)->*AGetItem)(I));
    };
    FInfo.Properties.push_back(std::move(p));
    return *this;
  }
  template <class O>
  TBuilder& Indexed(std::string AName, O* (T::*AGetItem)(int32_t) const, TMemberVisibility AVisibility = mvPublic) {
    TPropInfo p;
    p.Name = std::move(AName);
    p.Kind = tkClass;
    p.ObjectClass = [] { return &O::ClassInfo(); };
    p.Visibility = AVisibility;
    p.Indexed = true;
    p.GetItemObject = [AGetItem](const void* O2, int32_t I) {
      return static_cast<void*>((static_cast<const T*>(O2)->*AGetItem)(I));
    };
    FInfo.Properties.push_back(std::move(p));
    return *this;
  }
  // A one-argument method (list adders).
  template <class M>
  TBuilder& Method(std::string AName, void (T::*AMethod)(M)) {
    TMethodInfo m;
    m.Name = std::move(AName);
    using A = std::decay_t<M>;
    if constexpr (std::is_pointer_v<A>) {
      using O = std::remove_pointer_t<A>;
      m.ParamKind = tkClass;
      m.ParamClass = [] { return &O::ClassInfo(); };
      m.CallObject = [AMethod](void* Obj, void* Item) { (static_cast<T*>(Obj)->*AMethod)(static_cast<O*>(Item)); };
    } else {
      TPropInfo tmp;
      detail::Describe<A>(tmp);
      m.ParamKind = tmp.Kind;
      m.CallValue = [AMethod](void* Obj, const Variant& V) {
        (static_cast<T*>(Obj)->*AMethod)(detail::FromVariant<A>(V));
      };
    }
    FInfo.Methods.push_back(std::move(m));
    return *this;
  }
  // Makes the class list-like: Count(), Item(i) and Add(item*) taking ownership.
  template <class O>
  TBuilder& ListOf(std::string AItemTypeName, int32_t (T::*ACount)() const, O* (T::*AItem)(int32_t) const,
                   void (T::*AAdd)(O*)) {
    TListInfo l;
    l.ItemTypeName = std::move(AItemTypeName);
    l.ItemClass = [] { return &O::ClassInfo(); };
    l.Count = [ACount](const void* L) { return (static_cast<const T*>(L)->*ACount)(); };
    l.Item = [AItem](const void* L, int32_t I) { return static_cast<void*>((static_cast<const T*>(L)->*AItem)(I)); };
    l.Add = [AAdd](void* L, void* Item) { (static_cast<T*>(L)->*AAdd)(static_cast<O*>(Item)); };
    FInfo.List = std::move(l);
    return *this;
  }

  // Modifiers of the property registered last.
  TBuilder& Default(int64_t AValue) {
    FInfo.Properties.back().Default = AValue;
    return *this;
  }
  TBuilder& AsDateTime() {
    TPropInfo& p = FInfo.Properties.back();
    p.TypeName = "TDateTime";
    auto get = std::move(p.Get);
    p.Get = [get](const void* O) { return Variant::Date(get(O).AsDouble()); };
    return *this;
  }
  TBuilder& With(TAttributePtr AAttribute) {
    FInfo.Properties.back().Attributes.push_back(std::move(AAttribute));
    return *this;
  }

  TClassInfo Build() { return std::move(FInfo); }

 private:
  TClassInfo FInfo;

  template <class M>
  TBuilder& Field(std::string AName, M T::*AField, TMemberVisibility AVisibility) {
    TPropInfo p;
    p.Name = std::move(AName);
    detail::Describe<M>(p);
    p.Visibility = AVisibility;
    p.Get = [AField](const void* O) { return detail::ToVariant(static_cast<const T*>(O)->*AField); };
    p.Set = [AField](void* O, const Variant& V) { static_cast<T*>(O)->*AField = detail::FromVariant<M>(V); };
    FInfo.Properties.push_back(std::move(p));
    return *this;
  }
  template <class M>
  TBuilder& Accessors(std::string AName, M (T::*AGet)() const, void (T::*ASet)(M), TMemberVisibility AVisibility) {
    TPropInfo p;
    p.Name = std::move(AName);
    using D = std::decay_t<M>;
    detail::Describe<D>(p);
    p.Visibility = AVisibility;
    if (AGet) p.Get = [AGet](const void* O) { return detail::ToVariant<D>((static_cast<const T*>(O)->*AGet)()); };
    if (ASet) p.Set = [ASet](void* O, const Variant& V) { (static_cast<T*>(O)->*ASet)(detail::FromVariant<D>(V)); };
    FInfo.Properties.push_back(std::move(p));
    return *this;
  }
  template <class O>
  TBuilder& ObjectField(std::string AName, O* T::*AField, TMemberVisibility AVisibility) {
    TPropInfo p;
    p.Name = std::move(AName);
    p.Kind = tkClass;
    p.Visibility = AVisibility;
    p.ObjectClass = [] { return &O::ClassInfo(); };
    p.GetObject = [AField](const void* Obj) { return static_cast<void*>(static_cast<const T*>(Obj)->*AField); };
    FInfo.Properties.push_back(std::move(p));
    return *this;
  }
};

template <class T>
TClassInfo::TBuilder<T> TClassInfo::Of(std::string AName) {
  return TBuilder<T>(std::move(AName));
}

}  // namespace vexor
