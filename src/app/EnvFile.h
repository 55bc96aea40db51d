#pragma once
// The dotenv syntax of --env-file and of the window's environment box: one NAME=VALUE per line,
// "export " before the name allowed, blank lines and lines starting with '#' ignored. A value may
// be in single quotes (taken as it is), in double quotes (\n, \t, \" and \\ escapes; it may span
// lines) or bare (trimmed, a " #" starts a comment). Anything else is an error naming its line.
// Pure functions; callable from any thread.
#include <string>
#include <vector>

namespace vexor {

struct TEnvParseResult {
  std::vector<std::string> Entries;  // "NAME=VALUE", in the order of the text
  std::string Error;                 // "" on success, else "line N: reason"
};

TEnvParseResult ParseEnvText(const std::string& AText);
// Reads and parses AFile; a file that cannot be read is an error naming it.
TEnvParseResult ReadEnvFile(const std::string& AFile);

}  // namespace vexor
