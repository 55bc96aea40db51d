#include "packets/internal/CompressedBlocks.h"

#include <snappy-c.h>
#include <zlib.h>

#include <algorithm>

#include "packets/internal/RawFormat.h"
#include "platform/StrFormat.h"

namespace vexor {

namespace {

// Deflate never expands beyond about 1032:1; Snappy's elements never beyond 64 bytes out of 3.
constexpr int64_t kMaxZLibRatio = 1100;
constexpr int64_t kMaxSnappyRatio = 22;

void CheckPlausible(int64_t AClaimed, int64_t AInput, int64_t ARatio) {
  if (AClaimed > kMaxStreamSize || AClaimed > AInput * ARatio + 64)
    throw Exception(Format(kErrImplausible, static_cast<long long>(AClaimed), static_cast<long long>(AInput)));
}

}  // namespace

size_t InflateExactly(const uint8_t* AIn, size_t AInLen, int64_t ALen, TBlockOutput& AOut) {
  CheckPlausible(ALen, static_cast<int64_t>(AInLen), kMaxZLibRatio);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) throw Exception(kErrDecompress);
  // Grown as output arrives, so a false length costs no more than the input produces.
  const size_t want = static_cast<size_t>(ALen);
  size_t cap = std::min<size_t>(want, AInLen * 4 + 65536);
  uint8_t* out = AOut.Reserve(cap);
  z.next_in = const_cast<Bytef*>(AIn);
  z.avail_in = static_cast<uInt>(AInLen);
  size_t produced = 0;
  int rc = Z_OK;
  while (produced < want) {
    if (produced == cap) {
      cap = std::min<size_t>(cap * 2, want);
      out = AOut.Reserve(cap);
    }
    z.next_out = out + produced;
    z.avail_out = static_cast<uInt>(cap - produced);
    rc = inflate(&z, Z_NO_FLUSH);
    produced = cap - z.avail_out;
    if (rc != Z_OK) break;
  }
  const size_t used = z.total_in;
  inflateEnd(&z);
  if (produced != want || (rc != Z_OK && rc != Z_STREAM_END)) throw Exception(kErrDecompress);
  AOut.Done(want);
  return used;
}

void SnappyUncompress(const uint8_t* AIn, size_t AInLen, TBlockOutput& AOut) {
  size_t n = 0;
  if (snappy_uncompressed_length(reinterpret_cast<const char*>(AIn), AInLen, &n) != SNAPPY_OK)
    throw Exception(kErrCompressedLength);
  CheckPlausible(static_cast<int64_t>(std::min<size_t>(n, SIZE_MAX / 2)), static_cast<int64_t>(AInLen),
                 kMaxSnappyRatio);
  uint8_t* out = AOut.Reserve(n);
  size_t outLen = n;
  if (snappy_uncompress(reinterpret_cast<const char*>(AIn), AInLen, reinterpret_cast<char*>(out), &outLen) !=
          SNAPPY_OK ||
      outLen != n)
    throw Exception(kErrDecompress);
  AOut.Done(n);
}

void EncodeCompressed(TPacketMemoryStream& S, const void* AData, int32_t ALen, TDataCompressionType AKind) {
  int64_t pos = S.Position();
  if (ALen <= 0) {
    Store<int32_t>(S.WritableUpTo(pos + 4) + pos, 0);
    S.CommitWrite(pos + 4);
    return;
  }
  if (AKind == dcZLib) {
    uLongf bound = compressBound(static_cast<uLong>(ALen));
    uint8_t* o = S.WritableUpTo(pos + 4 + static_cast<int64_t>(bound)) + pos;
    Store<int32_t>(o, ALen);
    int rc = compress2(o + 4, &bound, static_cast<const Bytef*>(AData), static_cast<uLong>(ALen),
                       Z_DEFAULT_COMPRESSION);
    if (rc != Z_OK) throw Exception(Format(kErrCompress, rc));
    S.CommitWrite(pos + 4 + static_cast<int64_t>(bound));
    return;
  }
  size_t outLen = 32 + static_cast<size_t>(ALen) + static_cast<size_t>(ALen) / 6;
  uint8_t* o = S.WritableUpTo(pos + 4 + static_cast<int64_t>(outLen)) + pos;
  snappy_status rc = snappy_compress(static_cast<const char*>(AData), static_cast<size_t>(ALen),
                                     reinterpret_cast<char*>(o + 4), &outLen);
  if (rc != SNAPPY_OK) throw Exception(Format(kErrCompress, static_cast<int>(rc)));
  Store<int32_t>(o, static_cast<int32_t>(outLen));
  S.CommitWrite(pos + 4 + static_cast<int64_t>(outLen));
}


}  // namespace vexor
