#include "packets/raw/DataStreamWriter.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "packets/internal/CompressedBlocks.h"
#include "packets/internal/RawDecoder.h"
#include "packets/internal/RawEncoder.h"
#include "packets/internal/RawFormat.h"
#include "packets/raw/RawPacket.h"
#include "platform/StrFormat.h"

namespace vexor {

TDataStreamWriter::TDataStreamWriter(TStream* AStream, bool AOwnsStream, bool AMinimize)
    : FData(AStream),
      FMem(dynamic_cast<TPacketMemoryStream*>(AStream)),
      FOwnsStream(AOwnsStream),
      FMinimize(AMinimize) {}

TDataStreamWriter::~TDataStreamWriter() {
  if (FOwnsStream) delete FData;
}

bool TDataStreamWriter::Eof() { return FData->Position() >= FData->Size(); }
int32_t TDataStreamWriter::Pos() { return static_cast<int32_t>(FData->Position()); }
void TDataStreamWriter::Reset() { FData->SetPosition(0); }

int64_t TDataStreamWriter::Remaining() const {
  int64_t r = FData->Size() - FData->Position();
  return r > 0 ? r : 0;
}

void TDataStreamWriter::ReadExact(void* AData, int64_t ACount) {
  if (FData->Read(AData, ACount) != ACount) ShortRead();
}

void TDataStreamWriter::WriteBytes(const void* AData, int64_t ACount) { FData->Write(AData, ACount); }

int32_t TDataStreamWriter::GetAsInt() { return ReadAs<int32_t>(); }
uint16_t TDataStreamWriter::GetAsWord() { return ReadAs<uint16_t>(); }
uint32_t TDataStreamWriter::GetAsLongWord() { return ReadAs<uint32_t>(); }
uint8_t TDataStreamWriter::GetAsByte() { return ReadAs<uint8_t>(); }
bool TDataStreamWriter::GetAsBoolean() { return GetAsByte() != 0; }
double TDataStreamWriter::GetAsDouble() { return ReadAs<double>(); }
int64_t TDataStreamWriter::GetAsInt64() { return ReadAs<int64_t>(); }
uint64_t TDataStreamWriter::GetAsUInt64() { return ReadAs<uint64_t>(); }

std::string TDataStreamWriter::GetAsStr() {
  const int32_t n = GetAsInt();
  if (n <= 0) return {};
  if (n > Remaining()) ShortRead();
  std::string s(static_cast<size_t>(n), '\0');
  ReadExact(s.data(), n);
  return s;
}

void TDataStreamWriter::GetAsVar(Variant& AResult) {
  if (FMem) {
    const uint8_t* base = FMem->Memory();
    TMemorySource src(base + std::min(FMem->Position(), FMem->Size()), base + FMem->Size());
    TDecoder<TMemorySource> d(src);
    struct TSync {  // the position follows the decoder, also when it fails
      TPacketMemoryStream* S;
      TMemorySource& Src;
      const uint8_t* Base;
      ~TSync() { S->SetPosition(Src.Cursor() - Base); }
    } sync{FMem, src, base};
    AResult = d.Value();
    return;
  }
  TStreamSource src(*FData);
  TDecoder<TStreamSource> d(src);
  AResult = d.Value();
}

IPacketPtr TDataStreamWriter::GetAsPacket() {
  Variant v;
  GetAsVar(v);
  return VarToPacket(v);
}

void TDataStreamWriter::PutVar(const Variant& Value) {
  if (FMem) {
    TEncoder e(*FMem, FMinimize);
    e.Value(Value);
    return;
  }
  TPacketMemoryStream tmp;
  try {
    TEncoder e(tmp, FMinimize);
    e.Value(Value);
  } catch (...) {
    // What was written before the failure still reaches the stream, as on a memory stream.
    WriteBytes(tmp.Memory(), tmp.Size());
    throw;
  }
  WriteBytes(tmp.Memory(), tmp.Size());
}

void TDataStreamWriter::PutInt(int32_t Value) { WriteBytes(&Value, 4); }
void TDataStreamWriter::Put(bool Value) { PutByte(Value ? 1 : 0); }
void TDataStreamWriter::PutDouble(double Value) { WriteBytes(&Value, 8); }
void TDataStreamWriter::PutInt64(int64_t Value) { WriteBytes(&Value, 8); }
void TDataStreamWriter::PutUInt64(uint64_t Value) { WriteBytes(&Value, 8); }
void TDataStreamWriter::PutByte(uint8_t Value) { WriteBytes(&Value, 1); }
void TDataStreamWriter::PutWord(uint16_t Value) { WriteBytes(&Value, 2); }
void TDataStreamWriter::PutLongWord(uint32_t Value) { WriteBytes(&Value, 4); }

void TDataStreamWriter::Put(std::string_view Value) {
  if (Value.size() > static_cast<size_t>(kMaxStreamSize)) throw Exception(kErrOutOfMemory);
  PutInt(static_cast<int32_t>(Value.size()));
  WriteBytes(Value.data(), static_cast<int64_t>(Value.size()));
}

void TDataStreamWriter::PutConsts(std::span<const TConstArg> Args) {
  for (const TConstArg& a : Args) {
    switch (a.Kind) {
      case TConstArg::vtInteger: PutInt(static_cast<int32_t>(a.I)); break;
      case TConstArg::vtBoolean: Put(a.I != 0); break;
      case TConstArg::vtChar: PutByte(static_cast<uint8_t>(a.I)); break;
      case TConstArg::vtExtended: PutDouble(a.D); break;
      case TConstArg::vtCurrency: PutDouble(static_cast<double>(a.I) / 10000.0); break;
      case TConstArg::vtString:
      case TConstArg::vtAnsiString:
      case TConstArg::vtWideString:
      case TConstArg::vtUnicodeString: Put(a.S); break;
      case TConstArg::vtInt64: PutInt64(a.I); break;
      case TConstArg::vtVariant:
        if (VarIsPacket(*a.V))
          PutPacket(VarToPacket(*a.V));
        else
          PutVar(*a.V);
        break;
      case TConstArg::vtInterface:
        if (auto* p = dynamic_cast<IPacket*>(a.Intf)) {
          PutPacket(IPacketPtr(p));
          break;
        }
        if (auto* r = dynamic_cast<IRawPacket*>(a.Intf)) {
          PutPacket(IRawPacketPtr(r), false);
          break;
        }
        [[fallthrough]];
      default: throw Exception(Format(kErrConstArg, static_cast<unsigned>(a.Kind)));
    }
  }
}

void TDataStreamWriter::PutPacket(const IRawPacketPtr& Value, bool WithLen) {
  if (!Value) {
    if (WithLen) PutInt(0);
    return;
  }
  int32_t n = Value->Pos() > 0 ? Value->Pos() : Value->GetSize();
  if (WithLen) PutInt(n);
  // Copied first: the packet may be this one.
  std::string bytes(reinterpret_cast<const char*>(Value->RawData()), static_cast<size_t>(n));
  WriteBytes(bytes.data(), n);
}

void TDataStreamWriter::PutPacket(const IPacketPtr& Value) { PutVar(Variant(Value)); }

void TDataStreamWriter::PutCompressed(const void* Data, int32_t Len, TDataCompressionType ACompression) {
  if (!Data) return;
  if (FMem) return EncodeCompressed(*FMem, Data, Len, ACompression);
  TPacketMemoryStream tmp;
  EncodeCompressed(tmp, Data, Len, ACompression);
  WriteBytes(tmp.Memory(), tmp.Size());
}

void TDataStreamWriter::PutBuff(const void* Data, int32_t Len) {
  if (Data && Len > 0) WriteBytes(Data, Len);
}

IRawPacketPtr TDataStreamWriter::GetAsRawPacket(bool AReadLenFromData, int32_t ALen) {
  int64_t n;
  if (AReadLenFromData) {
    n = GetAsInt();
    if (n > Remaining()) ShortRead();
  } else {
    n = ALen <= 0 ? Remaining() : std::min<int64_t>(ALen, Remaining());
  }
  if (n < 1) return nullptr;
  auto raw = IRawPacketPtr::Adopt(new TRawPacket(static_cast<int32_t>(n)));
  ReadExact(const_cast<uint8_t*>(raw->RawData()), n);
  return raw;
}

TBytes TDataStreamWriter::GetCompressed(TDataCompressionType ACompression) {
  TBytesOutput out;
  ReadCompressed(ACompression, out);
  return std::move(out.Bytes);
}

void TDataStreamWriter::ReadCompressed(TDataCompressionType ACompression, TBlockOutput& AOut) {
  const int32_t len = GetAsInt();
  if (len <= 0) return;
  if (ACompression == dcSnappy) {
    if (len > Remaining()) ShortRead();
    if (FMem) {
      const uint8_t* p = FMem->Memory() + FMem->Position();
      FMem->SetPosition(FMem->Position() + len);
      return SnappyUncompress(p, static_cast<size_t>(len), AOut);
    }
    TBytes in(static_cast<size_t>(len));
    ReadExact(in.data(), len);
    return SnappyUncompress(in.data(), in.size(), AOut);
  }
  // zlib: the compressed length is not stored; the stream runs to where inflating ends.
  if (FMem) {
    const int64_t start = FMem->Position();
    size_t used = InflateExactly(FMem->Memory() + start, static_cast<size_t>(Remaining()), len, AOut);
    FMem->SetPosition(start + static_cast<int64_t>(used));
    return;
  }
  const int64_t start = FData->Position();
  TBytes in(static_cast<size_t>(Remaining()));
  ReadExact(in.data(), static_cast<int64_t>(in.size()));
  size_t used = InflateExactly(in.data(), in.size(), len, AOut);
  FData->SetPosition(start + static_cast<int64_t>(used));
}

void TDataStreamWriter::GetBuff(void* Data, int32_t ALen) {
  if (Data && ALen > 0) ReadExact(Data, ALen);
}

}  // namespace vexor
