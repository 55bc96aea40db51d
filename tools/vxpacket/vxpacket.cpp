// vxpacket: reads one packet from a file or standard input (JSON or XML text, or raw packet bytes)
// and writes it back in the chosen notation: text followed by a line feed, raw bytes as they are.
// Exit status 0 on success (also when the input stands for no packet), 1 with the reader's or
// writer's message, 2 for bad options.
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Exceptions.h"
#include "packets/json/PacketConversions.h"
#include "packets/PacketFormatManager.h"
#include "packets/raw/RawPacket.h"
#include "platform/SysError.h"

namespace {

using namespace vexor;

const char kUsage[] =
    "usage: vxpacket [--from json|xml|raw] [--to json|xml|raw] [--readable] [--types]\n"
    "                [--compressed zlib|snappy] [--compress zlib|snappy] [--max-input BYTES] [FILE]\n"
    "--max-input: input larger than this is refused (default 64 MiB)\n";

// Input is read whole and its packet built in memory: a cap keeps a mistaken or hostile input
// from taking the machine's memory.
constexpr uint64_t kDefaultMaxInput = 64ull * 1024 * 1024;

enum class TCompression { None, ZLib, Snappy };

struct TOptions {
  bool Readable = false;
  bool WithTypes = false;
  TCompression Compressed = TCompression::None;  // how raw input is compressed
  TCompression Compress = TCompression::None;    // how to compress raw output
};

// The block compression raw input carries or raw output gets; none when not asked.
std::optional<TDataCompressionType> RawCompression(TCompression AValue) {
  switch (AValue) {
    case TCompression::ZLib: return dcZLib;
    case TCompression::Snappy: return dcSnappy;
    case TCompression::None: break;
  }
  return std::nullopt;
}

// The notations the tool knows; new ones join this table. Text notations end with a line feed,
// raw bytes are written as they are.
struct TFormat {
  const char* Name;
  IPacketPtr (*Read)(std::string AText, const TOptions& AOptions);
  std::string (*Write)(const IPacketPtr& APacket, const TOptions& AOptions);
};

const TFormat kFormats[] = {
    // An empty input is no JSON text (the library reads it as an empty packet).
    {"json",
     [](std::string T, const TOptions&) {
       if (T.empty()) throw Exception("Invalid JSON string.");
       return TPacketConversions::PacketFromJSON(T);
     },
     [](const IPacketPtr& P, const TOptions& O) {
       return TPacketConversions::PacketAsJSON(P, O.Readable, O.WithTypes) + "\n";
     }},
    {"xml", [](std::string T, const TOptions&) { return TPacketConversions::PacketFromXML(T); },
     [](const IPacketPtr& P, const TOptions& O) { return TPacketConversions::PacketAsXML(P, O.Readable) + "\n"; }},
    {"raw", [](std::string T, const TOptions& O) { return PacketFromRawBytes(T, RawCompression(O.Compressed)); },
     [](const IPacketPtr& P, const TOptions& O) { return PacketToRawBytes(P, RawCompression(O.Compress)); }},
};

const TFormat* FindFormat(std::string_view AName) {
  for (const TFormat& f : kFormats)
    if (SameName(f.Name, AName)) return &f;
  return nullptr;
}

bool ParseCompression(std::string_view AName, TCompression& AValue) {
  if (SameName(AName, "zlib"))
    AValue = TCompression::ZLib;
  else if (SameName(AName, "snappy"))
    AValue = TCompression::Snappy;
  else
    return false;
  return true;
}

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// Reads at most AMax bytes; false (AText then holds AMax + 1 bytes) when there is more.
bool ReadAll(std::FILE* F, std::string& AText, uint64_t AMax) {
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, F)) > 0) {
    AText.append(buf, n);
    if (AText.size() > AMax) return false;
  }
  return !std::ferror(F);
}

}  // namespace

int main(int argc, char** argv) {
  InitPacketConversions();
  const TFormat* from = &kFormats[0];
  const TFormat* to = &kFormats[0];
  TOptions options;
  uint64_t maxInput = kDefaultMaxInput;
  const char* file = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--from" || a == "--to") {
      if (i + 1 >= argc) return Usage();
      const TFormat* f = FindFormat(argv[++i]);
      if (!f) return Usage();
      (a == "--from" ? from : to) = f;
    } else if (a == "--compress" || a == "--compressed") {
      if (i + 1 >= argc) return Usage();
      if (!ParseCompression(argv[++i], a == "--compress" ? options.Compress : options.Compressed)) return Usage();
    } else if (a == "--max-input") {
      if (i + 1 >= argc) return Usage();
      const std::string_view v = argv[++i];
      const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), maxInput);
      if (ec != std::errc() || ptr != v.data() + v.size() || maxInput == 0) return Usage();
    } else if (a == "--readable") {
      options.Readable = true;
    } else if (a == "--types") {
      options.WithTypes = true;
    } else if (a == "--" && i + 1 == argc - 1) {
      file = argv[++i];
    } else if (a.size() > 1 && a[0] == '-') {
      return Usage();
    } else if (!file) {
      file = argv[i];
    } else {
      return Usage();
    }
  }

  // Compression belongs to raw bytes only.
  if ((options.Compressed != TCompression::None && std::string_view(from->Name) != "raw") ||
      (options.Compress != TCompression::None && std::string_view(to->Name) != "raw"))
    return Usage();

  std::string text;
  if (file && std::string_view(file) != "-") {
    std::FILE* f = std::fopen(file, "rb");
    if (!f) {
      std::fprintf(stderr, "vxpacket: cannot open %s: %s\n", file, SysErrorMessage(errno).c_str());
      return 1;
    }
    bool ok = ReadAll(f, text, maxInput);
    std::fclose(f);
    if (!ok) {
      if (text.size() > maxInput)
        std::fprintf(stderr, "vxpacket: %s is larger than %llu bytes (--max-input)\n", file,
                     static_cast<unsigned long long>(maxInput));
      else
        std::fprintf(stderr, "vxpacket: cannot read %s\n", file);
      return 1;
    }
  } else if (!ReadAll(stdin, text, maxInput)) {
    if (text.size() > maxInput)
      std::fprintf(stderr, "vxpacket: the input is larger than %llu bytes (--max-input)\n",
                   static_cast<unsigned long long>(maxInput));
    else
      std::fputs("vxpacket: cannot read standard input\n", stderr);
    return 1;
  }

  try {
    IPacketPtr p = from->Read(std::move(text), options);
    if (!p) {
      std::fputs("vxpacket: no packet\n", stderr);
      return 0;
    }
    std::string out = to->Write(p, options);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vxpacket: %s\n", e.what());
    return 1;
  }
}
