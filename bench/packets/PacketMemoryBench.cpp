// Resident memory per value of packets read from JSON, against nlohmann::ordered_json holding the
// same text, for three shapes: an array of integers, an array of short strings and a document of
// nested objects. Each reading runs in a child process of its own, so that the figure is the
// growth of a fresh process and not memory an earlier reading left for reuse.
//
// Usage: bench_packet_memory [--values N]   (1,000,000 values by default); not a Google Benchmark
// program: --benchmark_... flags are refused.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "PlainBenchArgs.h"
#include "packets/json/PacketConversions.h"

using namespace vexor;

namespace {

long ResidentBytes() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

std::string Integers(int N) {
  std::string s = "[";
  for (int i = 0; i < N; ++i) s += (i ? "," : "") + std::to_string(i * 7919LL % 1000003);
  return s + "]";
}

std::string ShortStrings(int N) {
  std::string s = "[";
  for (int i = 0; i < N; ++i) s += (i ? ",\"w" : "\"w") + std::to_string(i % 100000) + "\"";
  return s + "]";
}

// Records of five values each: id, name, a nested object of two values, a flag.
std::string NestedObjects(int N) {
  std::string s = "{\"records\":[";
  for (int i = 0; i < N / 5; ++i) {
    if (i) s += ',';
    s += "{\"id\":" + std::to_string(i) + ",\"name\":\"n" + std::to_string(i % 1000) +
         "\",\"pos\":{\"x\":" + std::to_string(i % 640) + ",\"y\":" + std::to_string(i % 480) +
         "},\"on\":" + (i % 2 ? "true" : "false") + "}";
  }
  return s + "]}";
}

// Resident growth while AKeep reads AText and holds the result, measured in a child; -1 on failure.
template <class F>
long GrowthInChild(const std::string& AText, F&& AKeep) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::close(fds[0]);
    const long before = ResidentBytes();
    auto held = AKeep(AText);
    long growth = ResidentBytes() - before;
    if (!held) growth = -1;
    [[maybe_unused]] ssize_t w = ::write(fds[1], &growth, sizeof growth);
    ::_exit(0);
  }
  ::close(fds[1]);
  long growth = -1;
  if (::read(fds[0], &growth, sizeof growth) != sizeof growth) growth = -1;
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return growth;
}

}  // namespace

int main(int argc, char** argv) {
  vexor::bench::TPlainBenchArgs args("bench_packet_memory", "[--values N]");
  args.Option("values", "1000000");
  if (!args.Parse(argc, argv)) return 2;
  const int n = args.Count("values");
  if (n == 0) return 2;
  InitPacketConversions();

  struct TShape {
    const char* Name;
    std::string Text;
  } shapes[] = {{"integers", Integers(n)}, {"short strings", ShortStrings(n)}, {"nested objects", NestedObjects(n)}};
  std::printf("%-16s %10s %14s %14s %10s %12s\n", "shape", "text MB", "packet B/val", "nlohmann B/val", "ratio",
              "packet/text");
  int failed = 0;
  for (const TShape& s : shapes) {
    const long ours = GrowthInChild(s.Text, [](const std::string& t) { return TPacketConversions::PacketFromJSON(t); });
    const long peer = GrowthInChild(s.Text, [](const std::string& t) {
      return std::make_unique<nlohmann::ordered_json>(nlohmann::ordered_json::parse(t));
    });
    if (ours < 0 || peer <= 0) {
      std::printf("%-16s measurement failed\n", s.Name);
      ++failed;
      continue;
    }
    std::printf("%-16s %10.1f %14.1f %14.1f %9.2fx %11.1fx\n", s.Name, s.Text.size() / 1e6,
                static_cast<double>(ours) / n, static_cast<double>(peer) / n, static_cast<double>(ours) / peer,
                static_cast<double>(ours) / static_cast<double>(s.Text.size()));
  }
  return failed ? 1 : 0;
}
