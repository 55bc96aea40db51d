#include "nodejs/TypeScriptRunner.h"

#include <cctype>
#include <cstdio>
#include <filesystem>

#include "platform/Ticks.h"
#include "process/ChildProcessController.h"

namespace vexor {

namespace fs = std::filesystem;

namespace {

// The package folder of APackage in the nearest node_modules at or above AFolder; empty if none.
fs::path FindPackage(fs::path AFolder, const char* APackage) {
  std::error_code ec;
  for (; !AFolder.empty(); AFolder = AFolder.parent_path()) {
    const fs::path candidate = AFolder / "node_modules" / APackage;
    if (fs::is_regular_file(candidate / "package.json", ec)) return candidate;
    if (AFolder == AFolder.root_path()) break;
  }
  return {};
}

std::string FileUrl(const fs::path& APath) {
  // Node reads --import as a module specifier: an absolute path must be a file: URL.
  std::string url = "file://";
  for (const unsigned char c : APath.string()) {
    if (std::isalnum(c) || std::string_view("/-._~").find(static_cast<char>(c)) != std::string_view::npos) {
      url += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      url += hex;
    }
  }
  return url;
}

}  // namespace

std::string NodeProjectFolder(const std::string& AScript) {
  const fs::path own = fs::path(AScript).parent_path();
  std::error_code ec;
  for (fs::path folder = own; !folder.empty(); folder = folder.parent_path()) {
    if (fs::is_regular_file(folder / "package.json", ec)) return folder.string();
    if (folder == folder.root_path()) break;
  }
  return own.string();
}

TNodeVersion TNodeVersion::Parse(const std::string& AText) {
  TNodeVersion v;
  char tail = 0;
  if (std::sscanf(AText.c_str(), "v%d.%d.%d%c", &v.Major, &v.Minor, &v.Patch, &tail) < 3) return {};
  if (tail != 0 && tail != '\n' && tail != '\r' && tail != '-') return {};
  return v;
}

TNodeVersion TNodeVersion::Query(const std::string& ANode) {
  try {
    TChildProcessController node(ANode, "--version");
    std::string out;
    uint32_t exitCode = 0;
    const uint32_t start = GetTickCount32();
    node.WaitForProcess([&](const std::string& AText) { out += AText; }, exitCode,
                        [&] { return TicksSince(start) > 10000; });
    return exitCode == 0 ? Parse(out) : TNodeVersion{};
  } catch (const std::exception&) {
    return {};
  }
}

bool TTypeScriptRunner::IsTypeScript(const std::string& AScript) {
  const std::string ext = fs::path(AScript).extension().string();
  return ext == ".ts" || ext == ".mts" || ext == ".cts";
}

TTypeScriptRunner TTypeScriptRunner::Choose(const std::string& AScript, const std::string& AWorkingFolder,
                                            TNodeVersion ANode) {
  TTypeScriptRunner r;
  if (!IsTypeScript(AScript)) return r;
  const fs::path scriptFolder = fs::path(AScript).parent_path();
  const auto find = [&](const char* APackage) {
    fs::path found = FindPackage(scriptFolder, APackage);
    return found.empty() && !AWorkingFolder.empty() ? FindPackage(AWorkingFolder, APackage) : found;
  };
  std::error_code ec;
  if (const fs::path tsx = find("tsx"); !tsx.empty()) {
    // Its require hook where it can: node then starts the script as a CommonJS module and
    // "break on start" stops on the script's first line; through the module loader node stops
    // in its own internals first.
    const fs::path hook = tsx / "dist" / "cjs" / "index.cjs", loader = tsx / "dist" / "loader.mjs";
    const bool module = fs::path(AScript).extension() == ".mts";
    if (!module && fs::is_regular_file(hook, ec)) {
      r.Kind = TTypeScriptRunnerKind::tsrTsx;
      r.NodeArgs = {"--require", hook.string()};
      return r;
    }
    if (fs::is_regular_file(loader, ec)) {
      r.Kind = TTypeScriptRunnerKind::tsrTsx;
      r.NodeArgs = {"--import", FileUrl(loader)};
      return r;
    }
  }
  if (const fs::path tsNode = find("ts-node"); !tsNode.empty()) {
    r.Kind = TTypeScriptRunnerKind::tsrTsNode;
    if (fs::path(AScript).extension() == ".mts")
      r.NodeArgs = {"--loader", FileUrl(tsNode / "esm.mjs")};
    else
      r.NodeArgs = {"--require", (tsNode / "register").string()};
    return r;
  }
  // Type stripping: behind a switch from 22.6, on by default from 23.6.
  const int v = ANode.Major * 100 + ANode.Minor;
  if (v >= 2306) {
    r.Kind = TTypeScriptRunnerKind::tsrStripTypes;
    return r;
  }
  if (v >= 2206) {
    r.Kind = TTypeScriptRunnerKind::tsrStripTypes;
    r.NodeArgs = {"--experimental-strip-types"};
    return r;
  }
  r.Kind = TTypeScriptRunnerKind::tsrMissing;
  r.Message = "node " + std::to_string(ANode.Major) + "." + std::to_string(ANode.Minor) +
              " cannot run TypeScript by itself and the project has no TypeScript runner; install one in the "
              "project folder: npm install --save-dev tsx";
  return r;
}

}  // namespace vexor
