#pragma once
// Packets: the dynamic data record. A packet is a reference-counted object with an optional type
// name, an ordered list of variant values and a read cursor; a value may itself be a packet, so
// packets nest into trees, and a property named N is a typed child packet whose type name is N.
// Reference counts change atomically (references may be taken and dropped on any thread);
// everything else about one packet (values, cursor, type name) must be used by one thread at a
// time. Handing a packet to another thread means the sender stops touching it.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "packets/PacketValues.h"
#include "packets/RefPtr.h"
#include "packets/Variant.h"

namespace vexor {

class IPacket;
class IPacketPropertyAccess;
class IVObjCreator;
class TPacket;
using IPacketPtr = TRefPtr<IPacket>;
using IPacketPropertyAccessPtr = TRefPtr<IPacketPropertyAccess>;
using IVObjCreatorPtr = TRefPtr<IVObjCreator>;

// Interface identities, kept for the record; queries use dynamic_cast.
inline constexpr const char* IID_IPacket = "{5A79C872-3990-4836-A5C6-8EEAEA876285}";
inline constexpr const char* IID_IPacketPropertyAccess = "{9D5C09C1-F3F3-451B-BA02-3F4F66D745C9}";
inline constexpr const char* IID_IVObjCreator = "{C19DE1A9-CF5E-4F60-88E5-661DC076AE1D}";

// Appends one record per call and returns itself, so calls chain. It refers to its packet
// without holding a reference: do not call it after the packet is released.
class TPacketRecordAdder {
 public:
  TPacketRecordAdder(TPacket* ATarget, std::string AName, std::vector<std::string> AColumns);
  TPacketRecordAdder& operator()(const TVariantArray& AValues);
  TPacketRecordAdder& operator()(std::initializer_list<Variant> AValues) { return (*this)(TVariantArray(AValues)); }

 private:
  TPacket* FTarget;
  std::string FName;
  std::vector<std::string> FColumns;
};

using TPacketValueProc = std::function<void(const Variant&)>;
using TPacketProc = std::function<void(const IPacketPtr&)>;
using TPacketPropertyProc = std::function<void(const std::string&, const Variant&)>;
using TPacketFilterFunc = std::function<bool(const Variant&)>;
using TPacketMapFunc = std::function<Variant(const Variant&)>;

class IPacket : public virtual IInterface {
 public:
  virtual bool Eof() = 0;
  virtual int32_t Pos() = 0;
  virtual int32_t GetCount() = 0;
  virtual bool Empty() = 0;
  virtual bool IsTyped() = 0;
  // The type name equals ATypeName exactly (case counts).
  virtual bool IsTypeOf(std::string_view ATypeName) = 0;
  // The type name equals ATypeName ignoring ASCII case, as property names are compared.
  virtual bool IsTypeOfEx(std::string_view ATypeName) = 0;
  virtual void Reset() = 0;
  // GetAsInt and GetAsVar without moving the cursor.
  virtual int32_t PeekInt() = 0;
  virtual Variant PeekVar() = 0;
  virtual int32_t GetAsInt() = 0;
  // The value as a 64-bit integer cut to its low 32 bits (-1 gives 0xFFFFFFFF: no 32-bit range check).
  virtual uint32_t GetAsUInt() = 0;
  // Another name of GetAsUInt, kept for callers that use it.
  virtual uint32_t GetAsLongWord() = 0;
  virtual int64_t GetAsInt64() = 0;
  virtual uint64_t GetAsUInt64() = 0;
  // The value converted to text whatever its kind (a child packet gives its whole text).
  virtual std::string GetAsStr() = 0;
  // Strings as they are, numbers as text, anything else "" (never a conversion error).
  virtual std::string GetAsStr_() = 0;
  virtual bool GetAsBoolean() = 0;
  virtual uint8_t GetAsByte() = 0;
  // The value at the cursor as it is stored (a child packet as a packet variant); the second form
  // only returns it through Value.
  virtual Variant GetAsVar() = 0;
  virtual void GetAsVar(Variant& Value) = 0;
  virtual TDateTime GetAsDateTime() = 0;
  virtual double GetAsDouble() = 0;
  virtual void GetAsData(void* Buffer, int32_t Size) = 0;
  virtual TBytes GetAsByteArray() = 0;
  virtual std::vector<int32_t> GetAsIntArray() = 0;
  virtual std::vector<int64_t> GetAsInt64Array() = 0;
  // The child packet at the cursor itself (shared, its cursor reset); raises when the value is none.
  virtual IPacketPtr GetAsPacket() = 0;
  // A new packet of the same type name holding the values from the cursor on (values shared).
  virtual IPacketPtr GetAsPacketClone() = 0;
  // The child packet at Index, cursor untouched; null when that value is no packet.
  virtual IPacketPtr GetPacket(int32_t Index) = 0;
  virtual void GetAsStrings(std::vector<std::string>& L) = 0;
  // All values as one variant array; ValuesArray gives the same values as a C++ vector.
  virtual Variant Values() = 0;
  virtual TVariantArray ValuesArray() = 0;
  // This packet itself in a variant (shared, not copied).
  virtual Variant AsVariant() = 0;
  // The whole packet as text (JSON once the conversions are initialised), unlike GetAsStr's one value.
  virtual std::string AsString() = 0;
  // This packet when untyped; otherwise a new untyped packet holding it (MakeUntyped changes this one).
  virtual IPacketPtr AsUntyped() = 0;
  virtual void Clear() = 0;
  // Appends Value as it is; a null packet reference becomes a new empty packet.
  virtual void PutVar(const Variant& Value) = 0;
  // Each element appended as an integer value.
  virtual void Put(std::initializer_list<int32_t> Args) = 0;
  // PutVar for each of Args; with SingleLevel an untyped packet among them gives its values instead.
  virtual void PutVars(std::span<const Variant> Args, bool SingleLevel) = 0;
  // Appends the values of Values (not Values itself); an array variant gives its elements.
  virtual void PutValues(const IPacketPtr& Values) = 0;
  virtual void PutValues(const Variant& Values) = 0;
  // Appends the value unchanged (an int gives an integer, a text a string of kind 0x102).
  virtual void Put(const Variant& Value) = 0;
  // PutVars(Args, true): untyped packets among Args are spliced in.
  virtual void PutConsts(std::span<const Variant> Args) = 0;
  virtual void Put(const TBytes& Value) = 0;
  virtual void Put(const std::vector<int32_t>& Value) = 0;
  virtual void Put(const std::vector<uint32_t>& Value) = 0;
  // One array of OLE strings, one element per line.
  virtual void Put(const std::vector<std::string>& Values) = 0;
  virtual int32_t PutFromStream(std::istream& AStream, int32_t Size) = 0;
  virtual void GetAsStreamData(std::ostream& AStream) = 0;
  virtual void PutData(const void* Data, int32_t Len) = 0;
  virtual void ForEach(const TPacketValueProc& EnumMethod) = 0;
  virtual void ForEachPacket(const TPacketProc& EnumMethod) = 0;
  virtual void ForEachProperty(const TPacketPropertyProc& EnumMethod) = 0;
  virtual IPacketPtr Filter(const TPacketFilterFunc& FilterMethod) = 0;
  virtual IPacketPtr Map(const TPacketMapFunc& MapMethod) = 0;
  virtual void PutProperty(std::string_view Name, const Variant& Value, bool IgnoreDots = true,
                           bool KeepEmpty = true) = 0;
  // A typed packet is appended as one value (a property); an untyped one gives its values.
  virtual void AppendPacket(const IPacketPtr& Value) = 0;
  virtual void MakeUntyped() = 0;
  // The value at Index as GetAsVar gives it, cursor untouched.
  virtual Variant GetVar(int32_t Index) = 0;
  virtual void SetVar(int32_t Index, const Variant& Value) = 0;
  virtual int32_t DataSize() = 0;
  // One level: the property AName (ignoring case) or Default; the first form also says whether it exists.
  virtual bool GetProperty(std::string_view AName, const Variant& Default, Variant& Value) = 0;
  virtual Variant GetProperty(std::string_view AName, const Variant& Default) = 0;
  // GetProperty along a dotted path ("a.b.c") through nested properties.
  virtual Variant QueryProperty(std::string_view ADottedName, const Variant& Default = Variant()) = 0;
  virtual void RemoveProperty(std::string_view ADottedName) = 0;
  virtual std::string_view GetTypeName() = 0;
  virtual bool IsPropertyList() = 0;
  virtual bool IsProperty() = 0;
  virtual IPacketPropertyAccessPtr GetProperties() = 0;
  // The stored values list itself, without kind conversion.
  virtual TPacketValues& __RawData() = 0;
  // Adds the properties of Value this packet lacks and keeps its own (ADeep: and fills nested ones).
  virtual IPacketPtr Apply(const Variant& Value, bool ADeep) = 0;
  virtual IPacketPtr Apply(const IPacketPtr& Value, bool ADeep) = 0;
  // Like Apply, but the properties of Value replace this packet's own of the same name.
  virtual IPacketPtr Merge(const IPacketPtr& Value, bool ADeep) = 0;
  virtual void SetPos(int32_t NewPos) = 0;
  virtual TPacketRecordAdder Records(std::string_view AName, std::vector<std::string> Columns) = 0;
};

class IPacketPropertyAccess : public virtual IInterface {
 public:
  virtual int32_t GetCount() = 0;
  virtual Variant GetPropValueByIndex(int32_t Index) = 0;
  virtual Variant GetPropValue(std::string_view AName) = 0;
  virtual std::string GetPropName(int32_t Index) = 0;
  virtual bool Exists(std::string_view AName) = 0;
  virtual void SetPropValue(std::string_view AName, const Variant& Value) = 0;
  virtual void DelPropValue(std::string_view AName) = 0;
  virtual IPacketPropertyAccessPtr Add(std::string_view Name, const Variant& Value) = 0;
  virtual IPacketPropertyAccessPtr AddV(std::string_view Name, const Variant& Value) = 0;
};

class IVObjCreator : public virtual IInterface {
 public:
  virtual IVObjCreatorPtr SetProperty(std::string_view Key, const Variant& Value) = 0;
  virtual IVObjCreatorPtr VrWith(std::string_view Key) = 0;
  virtual IVObjCreatorPtr VrIf(bool Condition) = 0;
  virtual IVObjCreatorPtr VrEnd() = 0;
  virtual IVObjCreatorPtr VrAdd(const std::vector<std::string>& PropertyNames, const TVariantArray& Values) = 0;
  virtual IVObjCreatorPtr VrRec(std::string_view Key, const std::vector<std::string>& PropertyNames,
                                const TVariantArray& Values) = 0;
  virtual Variant AsVariant() = 0;
  virtual IPacketPtr Value() = 0;
};

// Values, cursor, type name and every reading operation; implements no interface itself.
class TReadablePacket : public TRefCntObject {
 public:
  explicit TReadablePacket(std::string_view AName = {}) : FTypeName(AName) {}
  // Takes over AValues as this packet's values.
  TReadablePacket(std::string_view AName, TVariantArray&& AValues);
  // AName's values from FromPos to the end (shallow); FromPos = -1 means APacket's cursor.
  TReadablePacket(IPacket* APacket, int32_t FromPos);

 protected:
  // Guarded by the one-thread-at-a-time rule of packets. The cursor comes first so that it fills
  // the room the reference count leaves.
  int32_t FPos = 0;
  TPacketValues FData;
  TSharedText FTypeName;

  const Variant& NextValue();  // the value at the cursor; advances; "Error Reading Packet"
};

class TPacket : public TReadablePacket, public IPacket, public IPacketPropertyAccess, public IVObjCreator {
 public:
  using TReadablePacket::TReadablePacket;

  // Packets come and go in numbers (one per property): they live in pooled blocks (see
  // PacketBlocks.h); a larger derived class goes to the general allocator.
  static void* operator new(size_t ASize);
  static void operator delete(void* APtr, size_t ASize) noexcept;

  // IPacket
  bool Eof() override;
  int32_t Pos() override { return FPos; }
  int32_t GetCount() override;
  bool Empty() override;
  bool IsTyped() override { return !FTypeName.empty(); }
  bool IsTypeOf(std::string_view ATypeName) override;
  bool IsTypeOfEx(std::string_view ATypeName) override;
  void Reset() override { FPos = 0; }
  int32_t PeekInt() override;
  Variant PeekVar() override;
  int32_t GetAsInt() override;
  uint32_t GetAsUInt() override;
  uint32_t GetAsLongWord() override;
  int64_t GetAsInt64() override;
  uint64_t GetAsUInt64() override;
  std::string GetAsStr() override;
  std::string GetAsStr_() override;
  bool GetAsBoolean() override;
  uint8_t GetAsByte() override;
  Variant GetAsVar() override;
  void GetAsVar(Variant& Value) override;
  TDateTime GetAsDateTime() override;
  double GetAsDouble() override;
  void GetAsData(void* Buffer, int32_t Size) override;
  TBytes GetAsByteArray() override;
  std::vector<int32_t> GetAsIntArray() override;
  std::vector<int64_t> GetAsInt64Array() override;
  IPacketPtr GetAsPacket() override;
  IPacketPtr GetAsPacketClone() override;
  IPacketPtr GetPacket(int32_t Index) override;
  void GetAsStrings(std::vector<std::string>& L) override;
  Variant Values() override;
  TVariantArray ValuesArray() override;
  Variant AsVariant() override;
  std::string AsString() override;
  IPacketPtr AsUntyped() override;
  void Clear() override;
  void PutVar(const Variant& Value) override;
  void Put(std::initializer_list<int32_t> Args) override;
  void PutVars(std::span<const Variant> Args, bool SingleLevel) override;
  void PutValues(const IPacketPtr& Values) override;
  void PutValues(const Variant& Values) override;
  void Put(const Variant& Value) override;
  void PutConsts(std::span<const Variant> Args) override;
  void Put(const TBytes& Value) override;
  void Put(const std::vector<int32_t>& Value) override;
  void Put(const std::vector<uint32_t>& Value) override;
  void Put(const std::vector<std::string>& Values) override;
  int32_t PutFromStream(std::istream& AStream, int32_t Size) override;
  void GetAsStreamData(std::ostream& AStream) override;
  void PutData(const void* Data, int32_t Len) override;
  void ForEach(const TPacketValueProc& EnumMethod) override;
  void ForEachPacket(const TPacketProc& EnumMethod) override;
  void ForEachProperty(const TPacketPropertyProc& EnumMethod) override;
  IPacketPtr Filter(const TPacketFilterFunc& FilterMethod) override;
  IPacketPtr Map(const TPacketMapFunc& MapMethod) override;
  void PutProperty(std::string_view Name, const Variant& Value, bool IgnoreDots = true, bool KeepEmpty = true) override;
  void AppendPacket(const IPacketPtr& Value) override;
  void MakeUntyped() override;
  Variant GetVar(int32_t Index) override;
  void SetVar(int32_t Index, const Variant& Value) override;
  int32_t DataSize() override;
  bool GetProperty(std::string_view AName, const Variant& Default, Variant& Value) override;
  Variant GetProperty(std::string_view AName, const Variant& Default) override;
  Variant QueryProperty(std::string_view ADottedName, const Variant& Default = Variant()) override;
  void RemoveProperty(std::string_view ADottedName) override;
  std::string_view GetTypeName() override { return FTypeName.View(); }
  bool IsPropertyList() override;
  bool IsProperty() override;
  IPacketPropertyAccessPtr GetProperties() override;
  TPacketValues& __RawData() override { return FData; }
  IPacketPtr Apply(const Variant& Value, bool ADeep) override;
  IPacketPtr Apply(const IPacketPtr& Value, bool ADeep) override;
  IPacketPtr Merge(const IPacketPtr& Value, bool ADeep) override;
  void SetPos(int32_t NewPos) override;
  TPacketRecordAdder Records(std::string_view AName, std::vector<std::string> Columns) override;

  // IPacketPropertyAccess (GetCount above serves both views)
  Variant GetPropValueByIndex(int32_t Index) override;
  Variant GetPropValue(std::string_view AName) override;
  std::string GetPropName(int32_t Index) override;
  bool Exists(std::string_view AName) override;
  void SetPropValue(std::string_view AName, const Variant& Value) override;
  void DelPropValue(std::string_view AName) override;
  IPacketPropertyAccessPtr Add(std::string_view Name, const Variant& Value) override;
  IPacketPropertyAccessPtr AddV(std::string_view Name, const Variant& Value) override;

  // IVObjCreator (AsVariant above serves both views)
  IVObjCreatorPtr SetProperty(std::string_view Key, const Variant& Value) override;
  IVObjCreatorPtr VrWith(std::string_view Key) override;
  IVObjCreatorPtr VrIf(bool Condition) override;
  IVObjCreatorPtr VrEnd() override;
  IVObjCreatorPtr VrAdd(const std::vector<std::string>& PropertyNames, const TVariantArray& Values) override;
  IVObjCreatorPtr VrRec(std::string_view Key, const std::vector<std::string>& PropertyNames,
                        const TVariantArray& Values) override;
  IPacketPtr Value() override;

  // Property storage shared by PutProperty and the text readers: stores into this packet only.
  void StoreProperty(std::string_view Name, const Variant& Value, bool KeepEmpty);
  // The first direct child packet whose type name matches AName (ignoring case), or null.
  IPacket* FindPropertyObj(std::string_view AName);

  ~TPacket() override {
    if (FHasBuildParent) TakeBuildParent();
  }

 protected:
  // Builder state, valid only while a building expression runs. The link to the packet VrEnd
  // returns to (non-owning) is kept aside, as few packets ever have one; this flag says whether
  // this packet has.
  bool FCondition = false;
  bool FHasBuildParent = false;
  // Constant after construction: set by TPropertyPacket, so asking needs no type query.
  bool FIsProperty = false;

  friend class TPacketRecordAdder;

 private:
  // The value at Index; raises the lists' index error for an index outside the values.
  const Variant& ValueAt(int32_t Index) const;
  void SetBuildParent(TPacket* AParent);
  TPacket* BuildParent();
  TPacket* TakeBuildParent();
};

// Marks a packet created as a property.
class TPropertyPacket : public TPacket {
 public:
  explicit TPropertyPacket(std::string_view AName) : TPacket(AName) { FIsProperty = true; }
  TPropertyPacket(std::string_view AName, const Variant& PropValue);
};

inline Variant::Variant(TAdoptedPacket A) noexcept : FKind(A.Kind), FStore(stObject) {
  FData.Obj.Pkt = A.Packet;
  FData.Obj.Intf = A.Packet;
}

inline Variant Variant::PacketObject(TVarType AKind, IPacket* APacket, bool AAdopt) {
  if (APacket && !AAdopt) APacket->_AddRef();
  return Variant(TAdoptedPacket{AKind, APacket});
}

// Names compare without regard to (ASCII) case; two empty names are equal.
bool SameName(std::string_view A, std::string_view B) noexcept;

IPacketPtr NewPacket(std::string TypeName = {});
IPacketPtr NewPacketOf(std::string TypeName, const Variant& Value);
IPacketPtr NewPacketOfValues(std::string TypeName, std::span<const Variant> Values, bool SingleLevel);
IPacketPtr NewPacketOfValues(std::string TypeName, std::initializer_list<Variant> Values, bool SingleLevel);
// The packet takes over Values as its values list.
IPacketPtr NewPacketFromArray(std::string TypeName, TVariantArray Values);
IPacketPtr ClonePacket(const IPacketPtr& P);
IPacketPtr VarToPacket(const Variant& V);
bool TryVarToPacket(const Variant& V, IPacketPtr& P);
// A packet value: varPacket, or kind 13 holding a packet or a null reference.
inline bool VarIsPacket(const Variant& V) noexcept {
  if (V.Kind() == varPacket) return true;
  if (V.Kind() != varUnknown) return false;
  return V.ObjectRef() == nullptr || V.PacketRef() != nullptr;
}
TVariantArray VarToValuesArray(const Variant& V);
// The packet a value holds without taking a reference (null for none or a null reference).
inline IPacket* VarPacketRef(const Variant& V) noexcept {
  if (V.Kind() != varPacket && V.Kind() != varUnknown) return nullptr;
  return V.PacketRef();
}

IPacketPtr NewRecordPacket(std::string TypeName, const std::vector<std::string>& PropertyNames,
                           const TVariantArray& Values);
IVObjCreatorPtr NewVObj(std::string TypeName = {});

// The process-wide packet-to-text hook behind IPacket::AsString; set during start-up only.
using TPacketToStringHook = std::string (*)(IPacket* APacket);
extern TPacketToStringHook PacketToStringHook;
// The hook the packet unit starts with: "<Packet>".
std::string DefaultPacketToString(IPacket* APacket);

}  // namespace vexor
