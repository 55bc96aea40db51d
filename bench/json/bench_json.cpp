// Packet JSON reading and writing against nlohmann::ordered_json, RapidJSON and simdjson, on one
// generated document of about 2 MB and on one 200-byte reply line of the child-process protocol.
// Compare MB/s (bytes_per_second) and ns per call of the rows within one run.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "BenchDocuments.h"
#include "packets/json/PacketConversions.h"

using namespace vexor;
using vexor::bench::Document;
using vexor::bench::kReply;

namespace {

// ---- reading ----

void BM_ReadPacket(benchmark::State& state) {
  const std::string& doc = Document();
  for (auto _ : state) benchmark::DoNotOptimize(TPacketConversions::PacketFromJSON(doc));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void BM_ReadNlohmannOrdered(benchmark::State& state) {
  const std::string& doc = Document();
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::ordered_json::parse(doc));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void BM_ReadRapidJSON(benchmark::State& state) {
  const std::string& doc = Document();
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(doc.data(), doc.size());
    benchmark::DoNotOptimize(d.IsObject());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

void BM_ReadSimdjsonDom(benchmark::State& state) {
  const std::string& doc = Document();
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element e;
    benchmark::DoNotOptimize(parser.parse(doc).get(e));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * doc.size()));
}

// ---- writing ----

void BM_WritePacket(benchmark::State& state) {
  IPacketPtr p = TPacketConversions::PacketFromJSON(Document());
  size_t bytes = TPacketConversions::PacketAsJSON(p).size();
  for (auto _ : state) benchmark::DoNotOptimize(TPacketConversions::PacketAsJSON(p));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_WriteNlohmannOrdered(benchmark::State& state) {
  auto j = nlohmann::ordered_json::parse(Document());
  size_t bytes = j.dump().size();
  for (auto _ : state) benchmark::DoNotOptimize(j.dump());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_WriteRapidJSON(benchmark::State& state) {
  rapidjson::Document d;
  d.Parse(Document().data(), Document().size());
  size_t bytes = 0;
  for (auto _ : state) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    d.Accept(w);
    bytes = buf.GetSize();
    benchmark::DoNotOptimize(buf.GetString());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// ---- one reply line, read and written per call ----

void BM_ReplyPacket(benchmark::State& state) {
  for (auto _ : state) {
    IPacketPtr p = TPacketConversions::PacketFromJSON(kReply);
    benchmark::DoNotOptimize(TPacketConversions::PacketAsJSON(p));
  }
}

void BM_ReplyNlohmannOrdered(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::ordered_json::parse(kReply).dump());
}

void BM_ReplyRapidJSON(benchmark::State& state) {
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(kReply.data(), kReply.size());
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    d.Accept(w);
    benchmark::DoNotOptimize(buf.GetString());
  }
}

// The reply's two halves apart, to see where a difference comes from.
void BM_ReplyReadPacket(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(TPacketConversions::PacketFromJSON(kReply));
}

void BM_ReplyReadRapidJSON(benchmark::State& state) {
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(kReply.data(), kReply.size());
    benchmark::DoNotOptimize(d.IsObject());
  }
}

void BM_ReplyReadSimdjsonDom(benchmark::State& state) {
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element e;
    benchmark::DoNotOptimize(parser.parse(kReply).get(e));
  }
}

void BM_ReplyWritePacket(benchmark::State& state) {
  IPacketPtr p = TPacketConversions::PacketFromJSON(kReply);
  for (auto _ : state) benchmark::DoNotOptimize(TPacketConversions::PacketAsJSON(p));
}

void BM_ReplyWriteRapidJSON(benchmark::State& state) {
  rapidjson::Document d;
  d.Parse(kReply.data(), kReply.size());
  for (auto _ : state) {
    rapidjson::StringBuffer buf;
    rapidjson::Writer<rapidjson::StringBuffer> w(buf);
    d.Accept(w);
    benchmark::DoNotOptimize(buf.GetString());
  }
}

}  // namespace

BENCHMARK(BM_ReadPacket)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadNlohmannOrdered)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadRapidJSON)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadSimdjsonDom)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePacket)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteNlohmannOrdered)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteRapidJSON)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplyPacket);
BENCHMARK(BM_ReplyNlohmannOrdered);
BENCHMARK(BM_ReplyRapidJSON);
BENCHMARK(BM_ReplyReadPacket);
BENCHMARK(BM_ReplyReadRapidJSON);
BENCHMARK(BM_ReplyReadSimdjsonDom);
BENCHMARK(BM_ReplyWritePacket);
BENCHMARK(BM_ReplyWriteRapidJSON);

BENCHMARK_MAIN();
