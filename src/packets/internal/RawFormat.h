#pragma once
// The raw stream's encoding, shared by its writer, reader and blocks: the tags, the scalar array
// rows, little-endian loads and stores, the error texts. Constants and pure functions only; any
// thread.
#include <cstdint>
#include <cstring>
#include <limits>

#include "packets/Packets.h"
#include "packets/raw/PacketMemoryStream.h"

namespace vexor {

inline constexpr const char kErrReadingData[] = "Error Reading Packet Data";
inline constexpr const char kErrReadOnly[] = "Can't write to read-only packet stream";
inline constexpr const char kErrUnsupported[] = "Writing unsupported variant type ($%X)!";
inline constexpr const char kErrInvalidVariant[] = "Invalid Variant %s in PutVar";
inline constexpr const char kErrConstArg[] = "Unsupported argument passed to DataStreamWriter.PutConsts ($%X)";
inline constexpr const char kErrCompress[] = "Data compression error (%d)";
inline constexpr const char kErrCompressedLength[] = "Error getting compressed length";
inline constexpr const char kErrDecompress[] = "Error decompressing data";
inline constexpr const char kErrOutOfMemory[] = "Out of memory while expanding memory stream";
inline constexpr const char kErrTooDeep[] = "Packet data nested deeper than 1024 levels";
inline constexpr const char kErrImplausible[] = "Compressed block states an implausible size (%lld bytes from %lld)";

constexpr int64_t kMaxStreamSize = std::numeric_limits<int32_t>::max();

// The tags: the index of a kind in the table of 39 kinds; 31 to 38 are short forms.
enum TRawTag : uint8_t {
  tgEmpty = 0,
  tgNull = 1,
  tgSmallint = 2,
  tgInteger = 3,
  tgSingle = 4,
  tgDouble = 5,
  tgCurrency = 6,
  tgDate = 7,
  tgOleStr = 8,
  tgBoolean = 9,
  tgShortInt = 10,
  tgReference = 11,
  tgByte = 12,
  tgWord = 13,
  tgLongWord = 14,
  tgInt64 = 15,
  tgUInt64 = 16,
  tgAnsiString = 17,
  tgString = 18,
  tgInt64Array = 19,
  tgByteArray = 20,
  tgSingleArray = 21,
  tgShortIntArray = 22,
  tgDoubleArray = 23,
  tgDateArray = 24,
  tgBooleanArray = 25,
  tgWordArray = 26,
  tgLongWordArray = 27,
  tgIntegerArray = 28,
  tgVariantArray = 29,
  tgOleStrArray = 30,
  tgZero = 31,
  tgMinusOne = 32,
  tgEmptyText = 33,
  tgPacket = 34,
  tgUnsupported = 35,
  tgSmallintArray = 36,
  tgUInt64Array = 37,
  tgShortText = 38,
  tgCount = 39
};

// Scalar arrays: tag, element kind and the element's width in the stream.
struct TArrayRow {
  uint8_t Tag;
  TVarType Elem;
  uint8_t Width;
};
inline constexpr TArrayRow kArrayRows[] = {
    {tgInt64Array, varInt64, 8},       {tgByteArray, varByte, 1},         {tgSingleArray, varSingle, 4},
    {tgShortIntArray, varShortInt, 1}, {tgDoubleArray, varDouble, 8},     {tgDateArray, varDate, 8},
    {tgBooleanArray, varBoolean, 2},   {tgWordArray, varWord, 2},         {tgLongWordArray, varLongWord, 4},
    {tgIntegerArray, varInteger, 4},   {tgSmallintArray, varSmallint, 2}, {tgUInt64Array, varUInt64, 8},
};

inline const TArrayRow* ArrayRowByElem(TVarType AElem) {
  for (const TArrayRow& r : kArrayRows)
    if (r.Elem == AElem) return &r;
  return nullptr;
}

inline const TArrayRow* ArrayRowByTag(uint8_t ATag) {
  for (const TArrayRow& r : kArrayRows)
    if (r.Tag == ATag) return &r;
  return nullptr;
}


template <class T>
inline void Store(uint8_t* AOut, T AValue) {
  std::memcpy(AOut, &AValue, sizeof AValue);
}

template <class T>
inline T Load(const uint8_t* AIn) {
  T v;
  std::memcpy(&v, AIn, sizeof v);
  return v;
}

[[noreturn]] inline void ShortRead() { throw EPacketError(kErrReadingData); }

}  // namespace vexor
