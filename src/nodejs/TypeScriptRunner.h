#pragma once
// TTypeScriptRunner: how node runs a start script written in TypeScript (".ts", ".mts", ".cts"):
// through the project's own runner (tsx, else ts-node, from the nearest node_modules above the
// script or the working folder), else through node's own type stripping where the installed node
// has it, else not at all, with a message that names what to install. Plain JavaScript needs none.
//
// Threads: stateless; any thread (reads the file system; Query starts node and waits for it).
#include <string>
#include <vector>

namespace vexor {

struct TNodeVersion {
  int Major = 0, Minor = 0, Patch = 0;
  // "v20.20.2" (what `node --version` prints) -> 20.20.2; all zero for anything else.
  static TNodeVersion Parse(const std::string& AText);
  // What `ANode --version` prints, parsed (all zero when it does not answer within 10 s).
  static TNodeVersion Query(const std::string& ANode);
};

// The project a start script belongs to: the nearest folder at or above the script's own that
// holds a package.json; the script's folder when none does. (A tsc build runs dist/main.js,
// whose map names ../src/main.ts: the project folder holds both.)
std::string NodeProjectFolder(const std::string& AScript);

enum class TTypeScriptRunnerKind { tsrNone, tsrTsx, tsrTsNode, tsrStripTypes, tsrMissing };

struct TTypeScriptRunner {
  TTypeScriptRunnerKind Kind = TTypeScriptRunnerKind::tsrNone;
  // Node's options that go before the script (each one argument).
  std::vector<std::string> NodeArgs;
  // tsrMissing: what the user reads.
  std::string Message;

  static bool IsTypeScript(const std::string& AScript);
  // AScript and AWorkingFolder absolute; ANode the installed node's version.
  static TTypeScriptRunner Choose(const std::string& AScript, const std::string& AWorkingFolder, TNodeVersion ANode);
};

}  // namespace vexor
