// The raw packet stream against msgpack-cxx, and its compressed blocks against calling zlib and
// Snappy directly, on the JSON benchmark's documents (about 2 MB, and one 200-byte reply).
// msgpack gets the equivalent document: the same JSON turned into msgpack bytes, unpacked into its
// object tree once; packing packs that tree, unpacking builds it.
// Compare the rows within one run: Raw* against Msgpack* (writing at least as fast as msgpack
// packs, reading at least half as fast as msgpack unpacks), Block* against Direct* (framing costs
// below 5%).
#include <benchmark/benchmark.h>
#include <msgpack.hpp>
#include <snappy-c.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "BenchDocuments.h"
#include "packets/json/PacketConversions.h"
#include "packets/raw/RawPacket.h"

using namespace vexor;

namespace {

struct TDocument {
  IPacketPtr Packet;
  IRawPacketPtr Raw;  // the packet's raw bytes, read in place
  std::vector<uint8_t> MsgpackBytes;
  msgpack::object_handle MsgpackTree;
};

TDocument MakeDocument(const std::string& AJson) {
  TDocument d;
  d.Packet = TPacketConversions::PacketFromJSON(AJson);
  d.Raw = PacketToRawChannelFormat(d.Packet);
  d.MsgpackBytes = nlohmann::ordered_json::to_msgpack(nlohmann::ordered_json::parse(AJson));
  d.MsgpackTree = msgpack::unpack(reinterpret_cast<const char*>(d.MsgpackBytes.data()), d.MsgpackBytes.size());
  return d;
}

const TDocument& Big() {
  static const TDocument d = MakeDocument(bench::Document());
  return d;
}

const TDocument& Reply() {
  static const TDocument d = MakeDocument(bench::kReply);
  return d;
}

const TDocument& Pick(const benchmark::State& state) { return state.range(0) ? Big() : Reply(); }

// ---- packet <-> bytes ----

void BM_RawWrite(benchmark::State& state) {
  const TDocument& d = Pick(state);
  for (auto _ : state) benchmark::DoNotOptimize(PacketToRawChannelFormat(d.Packet));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * d.Raw->GetSize());
}

void BM_MsgpackPack(benchmark::State& state) {
  const TDocument& d = Pick(state);
  for (auto _ : state) {
    msgpack::sbuffer buf;
    msgpack::pack(buf, d.MsgpackTree.get());
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.MsgpackBytes.size()));
}

void BM_RawRead(benchmark::State& state) {
  const TDocument& d = Pick(state);
  for (auto _ : state) {
    d.Raw->Reset();
    benchmark::DoNotOptimize(d.Raw->GetAsPacket());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * d.Raw->GetSize());
}

void BM_MsgpackUnpack(benchmark::State& state) {
  const TDocument& d = Pick(state);
  for (auto _ : state)
    benchmark::DoNotOptimize(msgpack::unpack(reinterpret_cast<const char*>(d.MsgpackBytes.data()),
                                             d.MsgpackBytes.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * d.MsgpackBytes.size()));
}

// ---- compressed blocks: framed by the stream, and the libraries called directly ----

// The same bytes for the direct calls.
const std::string& BlockInput() {
  static const std::string bytes = Big().Raw->Bytes();
  return bytes;
}

// A view of the encoded packet, compressed and decompressed in place as a channel does.
void BlockRoundTrip(benchmark::State& state, TDataCompressionType AKind) {
  const IRawPacketPtr& source = Big().Raw;
  for (auto _ : state) {
    source->Reset();
    IRawPacketPtr raw = source->GetAsPacketClone(0);
    auto& stream = dynamic_cast<TRawPacket&>(*raw).Stream();
    stream.SetPosition(stream.Size());
    raw->CompressData(AKind);
    raw->Reset();
    raw->DecompressData(AKind);
    benchmark::DoNotOptimize(raw->RawData());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * source->GetSize());
}

void BM_BlockZLib(benchmark::State& state) { BlockRoundTrip(state, dcZLib); }
void BM_BlockSnappy(benchmark::State& state) { BlockRoundTrip(state, dcSnappy); }


void BM_DirectZLib(benchmark::State& state) {
  const std::string& in = BlockInput();
  for (auto _ : state) {
    uLongf packedLen = compressBound(in.size());
    std::unique_ptr<Bytef[]> packed(new Bytef[packedLen]);
    compress2(packed.get(), &packedLen, reinterpret_cast<const Bytef*>(in.data()), in.size(), Z_DEFAULT_COMPRESSION);
    uLongf outLen = in.size();
    std::unique_ptr<Bytef[]> out(new Bytef[outLen]);
    uncompress(out.get(), &outLen, packed.get(), packedLen);
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

void BM_DirectSnappy(benchmark::State& state) {
  const std::string& in = BlockInput();
  for (auto _ : state) {
    size_t packedLen = snappy_max_compressed_length(in.size());
    std::unique_ptr<char[]> packed(new char[packedLen]);
    snappy_compress(in.data(), in.size(), packed.get(), &packedLen);
    size_t outLen = 0;
    snappy_uncompressed_length(packed.get(), packedLen, &outLen);
    std::unique_ptr<char[]> out(new char[outLen]);
    snappy_uncompress(packed.get(), packedLen, out.get(), &outLen);
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * in.size()));
}

}  // namespace

// Argument 1: the 2 MB document; 0: the reply.
BENCHMARK(BM_RawWrite)->Arg(1)->Arg(0);
BENCHMARK(BM_MsgpackPack)->Arg(1)->Arg(0);
BENCHMARK(BM_RawRead)->Arg(1)->Arg(0);
BENCHMARK(BM_MsgpackUnpack)->Arg(1)->Arg(0);
BENCHMARK(BM_BlockZLib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectZLib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlockSnappy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DirectSnappy)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
