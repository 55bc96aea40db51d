#pragma once
// The running program's own path and the XDG folders that stand in for the system folders.
// All functions are thread-safe; XDG variables are read on every call so tests may redirect them.
#include <cstdint>
#include <string>
#include <vector>

namespace vexor {

// Full path of the running executable (/proc/self/exe).
std::string ProgramPath();
// Its folder, with a trailing '/'.
std::string ProgramFolder();
// Its file name (with extension, if any).
std::string ProgramFileName();

// A ':'-separated list ($PATH, $XDG_CONFIG_DIRS) split into its parts, empty ones kept.
std::vector<std::string> SplitSearchPath(const std::string& AList);

// $XDG_CONFIG_HOME or ~/.config: the user hive of the registry store.
std::string XdgConfigHome();
// $XDG_CONFIG_DIRS split on ':' or {/etc/xdg}: the first entry is the machine hive.
std::vector<std::string> XdgConfigDirs();
// $XDG_STATE_HOME or ~/.local/state: the common application-data folder (log files).
std::string XdgStateHome();
// $XDG_CACHE_HOME or ~/.cache: the local application-data folder (browser cache).
std::string XdgCacheHome();

bool FileExists(const std::string& APath);
bool DirectoryExists(const std::string& APath);
// Creates every missing folder level; true when the folder exists afterwards.
bool ForceDirectories(const std::string& APath);
// For a program's own settings and logs in folders others may share: creates the missing folders
// 0700 (the umask aside) and answers why APath may not be used, "" when it may. Refused: not a
// folder, or owned by another user than us or root (who could swap its files under us).
std::string ForcePrivateDirectories(const std::string& APath);
// Why the existing file AFd (opened as APath) may not be read as a small settings or state file,
// "" when it may: not a regular file (a FIFO would block, a device never end) or larger than
// AMaxBytes.
std::string SmallFileRefusal(int AFd, const std::string& APath, uint64_t AMaxBytes);
// The folder part of a path including its trailing '/', or "" when it has none.
std::string ExtractFilePath(const std::string& APath);
std::string ExtractFileName(const std::string& APath);
// Replaces (or adds) the extension; AExt includes the dot.
std::string ChangeFileExt(const std::string& APath, const std::string& AExt);
// Joins two path parts with exactly one '/'.
std::string IncludeTrailingPathDelimiter(const std::string& APath);

}  // namespace vexor
