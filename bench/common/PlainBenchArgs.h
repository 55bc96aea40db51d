#pragma once
// Command-line options of the benchmark programs that are not Google Benchmark programs (they
// time whole runs of child processes and print medians). Each program names its options; a
// Google Benchmark flag (--benchmark_...) is refused with a message saying so, as is any other
// unknown argument or a value that is not a positive whole number. Main thread only.
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

namespace vexor::bench {

class TPlainBenchArgs {
 public:
  // AProgram: the program's name in messages; AUsage: its options as a help line shows them.
  TPlainBenchArgs(std::string_view AProgram, std::string_view AUsage) : FProgram(AProgram), FUsage(AUsage) {}

  // Declares an option (--name VALUE or --name=VALUE) with its default.
  void Option(std::string_view AName, std::string ADefault) { FValues[std::string(AName)] = std::move(ADefault); }

  // False (after a message on stderr) when an argument is not one of the declared options.
  bool Parse(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
      std::string_view a = argv[i];
      if (a == "--help" || a == "-h") return Refuse("");
      if (a.starts_with("--benchmark_"))
        return Refuse("takes no Google Benchmark flags (it times whole runs and prints medians): " + std::string(a));
      if (!a.starts_with("--")) return Refuse("unexpected argument: " + std::string(a));
      std::string name(a.substr(2)), value;
      const size_t eq = name.find('=');
      if (eq != std::string::npos) {
        value = name.substr(eq + 1);
        name.resize(eq);
      } else if (i + 1 < argc) {
        value = argv[++i];
      } else {
        return Refuse("option --" + name + " needs a value");
      }
      auto it = FValues.find(name);
      if (it == FValues.end()) return Refuse("unknown option --" + name);
      it->second = value;
    }
    return true;
  }

  const std::string& Text(std::string_view AName) const { return FValues.at(std::string(AName)); }
  // A positive whole number, or 0 (after a message) when the value is not one.
  int Count(std::string_view AName) const {
    const std::string& v = Text(AName);
    char* end = nullptr;
    const long n = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || n < 1 || n > 1000000) {
      std::fprintf(stderr, "%s: --%s wants a positive whole number, not \"%s\"\n", FProgram.c_str(),
                   std::string(AName).c_str(), v.c_str());
      return 0;
    }
    return static_cast<int>(n);
  }

 private:
  std::string FProgram, FUsage;
  std::map<std::string, std::string> FValues;

  bool Refuse(const std::string& AWhy) const {
    if (!AWhy.empty()) std::fprintf(stderr, "%s: %s\n", FProgram.c_str(), AWhy.c_str());
    std::fprintf(stderr, "usage: %s %s\n", FProgram.c_str(), FUsage.c_str());
    return false;
  }
};

}  // namespace vexor::bench
