#include "packets/raw/RawPacket.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "packets/internal/CompressedBlocks.h"
#include "packets/internal/RawFormat.h"

namespace vexor {

TRawPacket::TRawPacket(int32_t ASize, bool AMinimize) : TDataStreamWriter(nullptr, false, AMinimize), FStream(ASize) {
  FData = &FStream;
  FMem = &FStream;
}

IRawPacketPtr TRawPacket::CreateCloned(const IRawPacketPtr& APacket, int32_t ALen) {
  auto* src = dynamic_cast<TRawPacket*>(APacket.get());
  if (!src) return nullptr;
  const int64_t from = std::min(src->FStream.Position(), src->FStream.Size());
  const int64_t n = std::clamp<int64_t>(ALen, 0, src->FStream.Size() - from);
  auto* v = new TRawPacket(0, src->FMinimize);
  auto view = IRawPacketPtr::Adopt(v);
  v->FStream.ViewOf(src->FStream, from, n);
  v->FCloned = APacket;
  return view;
}

IRawPacketPtr TRawPacket::FromBytes(std::string_view ABytes) {
  auto raw = IRawPacketPtr::Adopt(new TRawPacket(0));
  raw->PutBuff(ABytes.data(), static_cast<int32_t>(ABytes.size()));
  raw->Reset();
  return raw;
}

IRawPacketPtr TRawPacket::WithCapacity(int32_t ACapacity, bool AMinimize) {
  auto* r = new TRawPacket(0, AMinimize);
  auto raw = IRawPacketPtr::Adopt(r);
  r->FStream.Reserve(ACapacity);
  return raw;
}

void TRawPacket::Clear() {
  FStream.SetSize(0);
  FStream.SetPosition(0);
}

void TRawPacket::CompressData(TDataCompressionType Compression) {
  const int64_t len = std::min(FStream.Position(), FStream.Size());
  TPacketMemoryStream fresh;
  EncodeCompressed(fresh, FStream.Memory(), static_cast<int32_t>(len), Compression);
  // The new buffer is this packet's own: a view stops borrowing.
  FStream.TakeOver(fresh);
  FCloned = nullptr;
}

void TRawPacket::DecompressData(TDataCompressionType Compression) {
  TPacketMemoryStream fresh;
  TStreamOutput out(fresh);
  ReadCompressed(Compression, out);
  FStream.TakeOver(fresh);
  FCloned = nullptr;
}

int32_t TRawPacket::ReadFromStream(TStream& S, int32_t ASize) {
  if (ASize < 0) ASize = 0;
  FStream.SetPosition(0);
  FStream.SetSize(0);
  uint8_t* m = ASize > 0 ? FStream.WritableUpTo(ASize) : nullptr;
  const int64_t n = ASize > 0 ? S.Read(m, ASize) : 0;
  // Only what was read: no bytes that no one wrote.
  FStream.CommitWrite(n);
  return static_cast<int32_t>(n);
}

int32_t TRawPacket::WriteToStream(TStream& S, int32_t ASize) {
  const int64_t n = std::clamp<int64_t>(ASize, 0, FStream.Size());
  S.Write(FStream.Memory(), n);
  return static_cast<int32_t>(n);
}

IRawPacketPtr TRawPacket::GetAsPacketClone(int32_t ALen) {
  const int64_t remaining = FStream.Remaining();
  if (remaining <= 0) return nullptr;
  const int64_t n = ALen <= 0 ? remaining : std::min<int64_t>(ALen, remaining);
  IRawPacketPtr view = CreateCloned(IRawPacketPtr(this), static_cast<int32_t>(n));
  FStream.SetPosition(FStream.Position() + n);
  return view;
}

void TRawPacket::SetSize(int32_t ASize) { FStream.SetSize(ASize); }

}  // namespace vexor
