// Packet XML reading and writing against pugixml, on the XML text of the generated ~2 MB document
// of the JSON benchmark: our reader builds packets, pugixml its DOM from the same text; our writer
// writes the packet, pugixml saves its DOM unformatted. Compare MB/s (bytes_per_second) of the rows
// within one run.
#include <benchmark/benchmark.h>

#include <pugixml.hpp>
#include <string>

#include "BenchDocuments.h"
#include "packets/json/PacketConversions.h"

using namespace vexor;

namespace {

const std::string& XmlDocument() {
  static const std::string xml = TPacketConversions::PacketAsXML(TPacketConversions::PacketFromJSON(bench::Document()));
  return xml;
}

struct TStringWriter : pugi::xml_writer {
  std::string Text;
  void write(const void* AData, size_t ASize) override { Text.append(static_cast<const char*>(AData), ASize); }
};

void BM_ReadPacketXML(benchmark::State& state) {
  const std::string& xml = XmlDocument();
  for (auto _ : state) benchmark::DoNotOptimize(TPacketConversions::PacketFromXML(xml));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
}

void BM_ReadPugixml(benchmark::State& state) {
  const std::string& xml = XmlDocument();
  for (auto _ : state) {
    pugi::xml_document doc;
    benchmark::DoNotOptimize(doc.load_buffer(xml.data(), xml.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * xml.size()));
}

void BM_WritePacketXML(benchmark::State& state) {
  IPacketPtr p = TPacketConversions::PacketFromXML(XmlDocument());
  const size_t bytes = TPacketConversions::PacketAsXML(p).size();
  for (auto _ : state) benchmark::DoNotOptimize(TPacketConversions::PacketAsXML(p));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_WritePugixml(benchmark::State& state) {
  pugi::xml_document doc;
  doc.load_buffer(XmlDocument().data(), XmlDocument().size());
  size_t bytes = 0;
  for (auto _ : state) {
    TStringWriter w;
    doc.save(w, "", pugi::format_raw);
    bytes = w.Text.size();
    benchmark::DoNotOptimize(w.Text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

}  // namespace

BENCHMARK(BM_ReadPacketXML)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadPugixml)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePacketXML)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WritePugixml)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
