#include "platform/CommandLine.h"

#include <unistd.h>

#include <cstdlib>
#include <strings.h>

#include "platform/AppPaths.h"

namespace vexor {
namespace {
std::vector<std::string>& Args() {
  static std::vector<std::string> args;
  return args;
}
}  // namespace

void SetProcessArgs(int argc, const char* const* argv) {
  auto& args = Args();
  args.clear();
  for (int i = 0; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
}

const std::vector<std::string>& ProcessArgs() { return Args(); }

bool FindCmdLineSwitch(const std::vector<std::string>& AArgs, const std::string& ASwitch) {
  for (size_t i = 1; i < AArgs.size(); ++i) {
    const std::string& a = AArgs[i];
    if (a.size() == ASwitch.size() + 1 && (a[0] == '-' || a[0] == '/') &&
        strcasecmp(a.c_str() + 1, ASwitch.c_str()) == 0)
      return true;
  }
  return false;
}

bool FindCmdLineSwitch(const std::string& ASwitch) { return FindCmdLineSwitch(Args(), ASwitch); }

std::vector<std::string> SplitCommandLine(const std::string& ACommandLine) {
  std::vector<std::string> argv;
  const std::string& s = ACommandLine;
  size_t i = 0, n = s.size();
  while (true) {
    while (i < n && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n) {
      char c = s[i];
      if (!quoted && (c == ' ' || c == '\t')) break;
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && s[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && s[i] == '"') {
          arg.append(slashes / 2, '\\');
          if (slashes % 2) {
            arg.push_back('"');
            ++i;
          }
        } else {
          arg.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        // Inside quotes, a doubled quote stands for one literal quote.
        if (quoted && i + 1 < n && s[i + 1] == '"') {
          arg.push_back('"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg.push_back(c);
      ++i;
    }
    argv.push_back(std::move(arg));
  }
  return argv;
}

std::string QuoteArgument(const std::string& AArgument) {
  if (!AArgument.empty() && AArgument.find_first_of(" \t\"") == std::string::npos) return AArgument;
  std::string quoted = "\"";
  size_t slashes = 0;
  for (char c : AArgument) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    // Backslashes count double only before a quote, which is escaped itself.
    quoted.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
    slashes = 0;
    quoted.push_back(c);
  }
  quoted.append(slashes * 2, '\\');  // the closing quote follows
  quoted.push_back('"');
  return quoted;
}

std::string FindProgramOnPath(const std::string& AProgram) {
  if (AProgram.empty()) return std::string();
  if (AProgram.find('/') != std::string::npos) return AProgram;
  const char* path = std::getenv("PATH");
  for (const std::string& dir : SplitSearchPath(path ? path : "/usr/local/bin:/usr/bin:/bin")) {
    std::string candidate = IncludeTrailingPathDelimiter(dir.empty() ? "." : dir) + AProgram;
    if (FileExists(candidate) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}

}  // namespace vexor
