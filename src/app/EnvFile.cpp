#include "app/EnvFile.h"

#include <cerrno>
#include <fstream>
#include <sstream>

#include "app/TarnwickOptions.h"
#include "platform/SysError.h"

namespace vexor {
namespace {

std::string Trimmed(const std::string& AText) {
  const size_t first = AText.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  const size_t last = AText.find_last_not_of(" \t\r");
  return AText.substr(first, last - first + 1);
}

}  // namespace

TEnvParseResult ParseEnvText(const std::string& AText) {
  TEnvParseResult result;
  size_t pos = 0;
  int line = 0;
  auto fail = [&](const std::string& AReason) {
    result.Entries.clear();
    result.Error = "line " + std::to_string(line) + ": " + AReason;
    return result;
  };
  while (pos < AText.size()) {
    ++line;
    size_t end = AText.find('\n', pos);
    if (end == std::string::npos) end = AText.size();
    std::string text = Trimmed(AText.substr(pos, end - pos));
    pos = end + 1;
    if (text.empty() || text[0] == '#') continue;
    if (text.rfind("export ", 0) == 0) text = Trimmed(text.substr(7));
    const size_t equals = text.find('=');
    if (equals == std::string::npos) return fail("'" + text + "' is not NAME=VALUE");
    const std::string name = Trimmed(text.substr(0, equals));
    std::string rest = Trimmed(text.substr(equals + 1));
    std::string value;
    if (!rest.empty() && rest[0] == '\'') {
      const size_t close = rest.find('\'', 1);
      if (close == std::string::npos) return fail("the value of " + name + " lacks its closing '");
      value = rest.substr(1, close - 1);
    } else if (!rest.empty() && rest[0] == '"') {
      // A double-quoted value may go on over the following lines.
      std::string raw = rest.substr(1);
      size_t i = 0;
      bool closed = false;
      for (;;) {
        for (; i < raw.size(); ++i) {
          const char c = raw[i];
          if (c == '"') {
            closed = true;
            break;
          }
          if (c == '\\' && i + 1 < raw.size()) {
            const char n = raw[++i];
            value += n == 'n' ? '\n' : n == 't' ? '\t' : n == 'r' ? '\r' : n;
          } else {
            value += c;
          }
        }
        if (closed || pos >= AText.size()) break;
        end = AText.find('\n', pos);
        if (end == std::string::npos) end = AText.size();
        value += '\n';
        raw = AText.substr(pos, end - pos);
        i = 0;
        pos = end + 1;
        ++line;
      }
      if (!closed) return fail("the value of " + name + " lacks its closing \"");
    } else {
      const size_t comment = rest.find(" #");
      value = Trimmed(comment == std::string::npos ? rest : rest.substr(0, comment));
    }
    const std::string entry = name + "=" + value;
    if (std::string problem = CheckEnvironmentEntry(entry); !problem.empty()) return fail(problem);
    result.Entries.push_back(entry);
  }
  return result;
}

TEnvParseResult ReadEnvFile(const std::string& AFile) {
  std::ifstream in(AFile, std::ios::binary);
  if (!in) {
    TEnvParseResult result;
    result.Error = "cannot read '" + AFile + "': " + SysErrorMessage(errno);
    return result;
  }
  std::ostringstream text;
  text << in.rdbuf();
  TEnvParseResult result = ParseEnvText(text.str());
  if (!result.Error.empty()) result.Error = AFile + ": " + result.Error;
  return result;
}

}  // namespace vexor
