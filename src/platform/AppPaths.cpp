#include "platform/AppPaths.h"

#include "platform/SysError.h"

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

namespace {

bool CreateFolders(const std::string& APath, mode_t AMode) {
  std::string path = APath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (DirectoryExists(path)) return true;
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !CreateFolders(path.substr(0, slash), AMode)) return false;
  if (::mkdir(path.c_str(), AMode) == 0 || errno == EEXIST) return DirectoryExists(path);
  return false;
}

}  // namespace


bool ForceDirectories(const std::string& APath) { return !APath.empty() && CreateFolders(APath, 0777); }


std::string ForcePrivateDirectories(const std::string& APath) {
  if (APath.empty()) return "no folder named";
  if (!CreateFolders(APath, 0700)) return "the folder " + APath + " cannot be created: " + SysErrorMessage(errno);
  struct stat st {};
  if (::stat(APath.c_str(), &st) != 0) return "the folder " + APath + " cannot be used: " + SysErrorMessage(errno);
  if (!S_ISDIR(st.st_mode)) return APath + " is not a folder";
  if (st.st_uid != ::geteuid() && st.st_uid != 0)
    return "the folder " + APath + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  return std::string();
}

std::string SmallFileRefusal(int AFd, const std::string& APath, uint64_t AMaxBytes) {
  struct stat st {};
  if (::fstat(AFd, &st) != 0) return APath + " cannot be read: " + SysErrorMessage(errno);
  if (!S_ISREG(st.st_mode)) return APath + " is not a regular file";
  if (static_cast<uint64_t>(st.st_size) > AMaxBytes)
    return APath + " is larger than " + std::to_string(AMaxBytes) + " bytes";
  return std::string();
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
