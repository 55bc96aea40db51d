#include "platform/AppPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace vexor {
namespace {

std::string EnvOr(const char* AName, const std::string& AFallback) {
  const char* v = std::getenv(AName);
  // XDG: an empty or relative value is ignored.
  if (v && *v == '/') return v;
  return AFallback;
}

std::string Home() {
  const char* h = std::getenv("HOME");
  return h && *h ? std::string(h) : std::string("/");
}

std::string Join(const std::string& a, const std::string& b) { return IncludeTrailingPathDelimiter(a) + b; }

}  // namespace

std::string ProgramPath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::string();
  return std::string(buf, static_cast<size_t>(n));
}

std::string ProgramFolder() { return ExtractFilePath(ProgramPath()); }
std::string ProgramFileName() { return ExtractFileName(ProgramPath()); }

std::string XdgConfigHome() { return EnvOr("XDG_CONFIG_HOME", Join(Home(), ".config")); }
std::string XdgStateHome() { return EnvOr("XDG_STATE_HOME", Join(Home(), ".local/state")); }
std::string XdgCacheHome() { return EnvOr("XDG_CACHE_HOME", Join(Home(), ".cache")); }

std::vector<std::string> SplitSearchPath(const std::string& AList) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= AList.size()) {
    size_t end = AList.find(':', start);
    if (end == std::string::npos) end = AList.size();
    parts.push_back(AList.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::vector<std::string> XdgConfigDirs() {
  std::vector<std::string> dirs;
  const char* v = std::getenv("XDG_CONFIG_DIRS");
  for (auto& part : SplitSearchPath(v ? v : ""))
    if (!part.empty() && part[0] == '/') dirs.push_back(std::move(part));
  if (dirs.empty()) dirs.push_back("/etc/xdg");
  return dirs;
}

bool FileExists(const std::string& APath) {
  struct stat st {};
  return ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& APath) {
  struct stat st {};
  return ::stat(APath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& APath) {
  if (APath.empty()) return false;
  std::string path = APath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (DirectoryExists(path)) return true;
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !ForceDirectories(path.substr(0, slash))) return false;
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return DirectoryExists(path);
  return false;
}

std::string ExtractFilePath(const std::string& APath) {
  size_t slash = APath.rfind('/');
  return slash == std::string::npos ? std::string() : APath.substr(0, slash + 1);
}

std::string ExtractFileName(const std::string& APath) {
  size_t slash = APath.rfind('/');
  return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

std::string ChangeFileExt(const std::string& APath, const std::string& AExt) {
  size_t slash = APath.rfind('/');
  size_t dot = APath.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return APath + AExt;
  return APath.substr(0, dot) + AExt;
}

std::string IncludeTrailingPathDelimiter(const std::string& APath) {
  if (!APath.empty() && APath.back() == '/') return APath;
  return APath + '/';
}

}  // namespace vexor
