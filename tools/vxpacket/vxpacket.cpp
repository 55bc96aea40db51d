// vxpacket: reads one packet text from a file or standard input and writes it back in the chosen
// notation, followed by a line feed.
#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>

#include "Exceptions.h"
#include "PacketConversions.h"
#include "SysError.h"

namespace {

using namespace vexor;

const char kUsage[] = "usage: vxpacket [--from json] [--to json] [--readable] [--types] [FILE]\n";

// The notations the tool knows; new ones join this table.
struct TFormat {
  const char* Name;
  IPacketPtr (*Read)(std::string_view AText);
  std::string (*Write)(const IPacketPtr& APacket, bool AReadable, bool AWithTypes);
};

const TFormat kFormats[] = {
    // An empty input is no JSON text (the library reads it as an empty packet).
    {"json",
     [](std::string_view T) {
       if (T.empty()) throw Exception("Invalid JSON string.");
       return TPacketConversions::PacketFromJSON(T);
     },
     [](const IPacketPtr& P, bool R, bool W) { return TPacketConversions::PacketAsJSON(P, R, W); }},
};

const TFormat* FindFormat(std::string_view AName) {
  for (const TFormat& f : kFormats)
    if (SameName(f.Name, AName)) return &f;
  return nullptr;
}

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool ReadAll(std::FILE* F, std::string& AText) {
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, F)) > 0) AText.append(buf, n);
  return !std::ferror(F);
}

}  // namespace

int main(int argc, char** argv) {
  InitPacketConversions();
  const TFormat* from = &kFormats[0];
  const TFormat* to = &kFormats[0];
  bool readable = false, withTypes = false;
  const char* file = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--from" || a == "--to") {
      if (i + 1 >= argc) return Usage();
      const TFormat* f = FindFormat(argv[++i]);
      if (!f) return Usage();
      (a == "--from" ? from : to) = f;
    } else if (a == "--readable") {
      readable = true;
    } else if (a == "--types") {
      withTypes = true;
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

  std::string text;
  if (file && std::string_view(file) != "-") {
    std::FILE* f = std::fopen(file, "rb");
    if (!f) {
      std::fprintf(stderr, "vxpacket: cannot open %s: %s\n", file, SysErrorMessage(errno).c_str());
      return 1;
    }
    bool ok = ReadAll(f, text);
    std::fclose(f);
    if (!ok) {
      std::fprintf(stderr, "vxpacket: cannot read %s\n", file);
      return 1;
    }
  } else if (!ReadAll(stdin, text)) {
    std::fputs("vxpacket: cannot read standard input\n", stderr);
    return 1;
  }

  try {
    IPacketPtr p = from->Read(text);
    if (!p) {
      std::fputs("vxpacket: no packet\n", stderr);
      return 0;
    }
    std::string out = to->Write(p, readable, withTypes);
    out.push_back('\n');
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vxpacket: %s\n", e.what());
    return 1;
  }
}
