#include "platform/Registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>

#include "platform/AppPaths.h"
#include "platform/Exceptions.h"
#include "platform/SysError.h"
#include "platform/DebugOutput.h"

namespace vexor {
namespace {

constexpr const char* kValueFile = "values";

std::string Escape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '=')
      out += "\\=";
    else
      out.push_back(c);
  }
  return out;
}

std::string Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char n = s[++i];
      out.push_back(n == 'n' ? '\n' : n == 'r' ? '\r' : n);
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// Position of the first '=' that is not escaped.
size_t FindSeparator(const std::string& line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\\')
      ++i;
    else if (line[i] == '=')
      return i;
  }
  return std::string::npos;
}

bool ValidKey(const std::string& AKey) {
  // Key parts may not climb out of the hive.
  std::string part;
  std::istringstream in(AKey);
  while (std::getline(in, part, '\\'))
    if (part == "." || part == ".." || part.find('/') != std::string::npos) return false;
  return true;
}

}  // namespace

TRegistry::TRegistry(TRegistryHive AHive) : FHive(AHive) {}

std::string TRegistry::HivePath(TRegistryHive AHive) {
  return AHive == TRegistryHive::rhCurrentUser ? XdgConfigHome() : XdgConfigDirs().front();
}

std::string TRegistry::KeyFolder(const std::string& AKey) const {
  std::string folder = IncludeTrailingPathDelimiter(HivePath(FHive));
  std::string part;
  std::istringstream in(AKey);
  bool first = true;
  while (std::getline(in, part, '\\')) {
    if (part.empty()) continue;
    if (!first) folder += '/';
    folder += part;
    first = false;
  }
  return folder;
}

bool TRegistry::KeyExists(const std::string& AKey) const { return ValidKey(AKey) && DirectoryExists(KeyFolder(AKey)); }

bool TRegistry::OpenKey(const std::string& AKey, bool ACanCreate) {
  CloseKey();
  if (!ValidKey(AKey)) return false;
  std::string folder = KeyFolder(AKey);
  if (!DirectoryExists(folder) && !ACanCreate) return false;
  if (const std::string refusal = ForcePrivateDirectories(folder); !refusal.empty()) {
    OutputDebugString("Settings key " + AKey + " not opened: " + refusal);
    return false;
  }
  FFolder = folder;
  FCurrentPath = AKey;
  FOpen = true;
  FReadOnly = false;
  Load();
  return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& AKey) {
  CloseKey();
  if (!ValidKey(AKey)) return false;
  std::string folder = KeyFolder(AKey);
  if (!DirectoryExists(folder)) return false;
  if (const std::string refusal = ForcePrivateDirectories(folder); !refusal.empty()) {
    OutputDebugString("Settings key " + AKey + " not opened: " + refusal);
    return false;
  }
  FFolder = folder;
  FCurrentPath = AKey;
  FOpen = true;
  FReadOnly = true;
  Load();
  return true;
}

void TRegistry::CloseKey() {
  FOpen = false;
  FReadOnly = true;
  FFolder.clear();
  FCurrentPath.clear();
  FValues.clear();
}

void TRegistry::Load() {
  FValues.clear();
  const std::string path = FFolder + "/" + kValueFile;
  // Never through a symbolic link, never blocking on a FIFO, never more than a settings file.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) OutputDebugString("Settings file " + path + " not read: " + SysErrorMessage(errno));
    return;
  }
  std::string text;
  std::string refusal = SmallFileRefusal(fd, path, kMaxValueFileBytes);
  if (refusal.empty()) {
    char buffer[8192];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) refusal = path + " cannot be read: " + SysErrorMessage(errno);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
      if (text.size() > kMaxValueFileBytes) {
        refusal = path + " is larger than " + std::to_string(kMaxValueFileBytes) + " bytes";
        break;
      }
    }
  }
  ::close(fd);
  if (!refusal.empty()) {
    OutputDebugString("Settings file not read: " + refusal);
    return;
  }
  FValues = ParseValues(text);
}

std::map<std::string, TRegValue> TRegistry::ParseValues(const std::string& AText) {
  std::map<std::string, TRegValue> values;
  std::istringstream in(AText);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t sep = FindSeparator(line);
    if (sep == std::string::npos) continue;
    std::string name = Unescape(std::string_view(line).substr(0, sep));
    std::string_view rest = std::string_view(line).substr(sep + 1);
    TRegValue value;
    if (rest.substr(0, 3) == "sz:") {
      value.Kind = TRegValueKind::rvString;
      value.Text = Unescape(rest.substr(3));
    } else if (rest.substr(0, 6) == "dword:") {
      value.Kind = TRegValueKind::rvDWord;
      std::string_view num = rest.substr(6);
      uint32_t v = 0;
      auto [ptr, ec] = std::from_chars(num.data(), num.data() + num.size(), v);
      if (ec != std::errc() || ptr != num.data() + num.size()) continue;  // unreadable value: skip it
      value.DWord = v;
    } else {
      continue;
    }
    values[name] = std::move(value);
  }
  return values;
}

void TRegistry::Save() {
  if (!FOpen) throw Exception("Registry key not open");
  if (FReadOnly) throw Exception("Registry key " + FCurrentPath + " is read-only");
  std::string content;
  for (const auto& [name, value] : FValues) {
    content += Escape(name);
    if (value.Kind == TRegValueKind::rvString)
      content += "=sz:" + Escape(value.Text);
    else
      content += "=dword:" + std::to_string(value.DWord);
    content += '\n';
  }
  std::string target = FFolder + "/" + kValueFile;
  // A new file of our own, never one planted under the name (a symbolic link would have us write
  // wherever it points); rename then replaces the name itself, whatever it was.
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temp = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(attempt);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) throw Exception("Failed to write registry value file " + target + ": " + SysErrorMessage(errno));
  size_t off = 0;
  while (off < content.size()) {
    ssize_t n = ::write(fd, content.data() + off, content.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      throw Exception("Failed to write registry value file " + target + ": " + SysErrorMessage(err));
    }
    off += static_cast<size_t>(n);
  }
  ::fsync(fd);
  ::close(fd);
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    throw Exception("Failed to replace registry value file " + target + ": " + SysErrorMessage(err));
  }
}

bool TRegistry::ValueExists(const std::string& AName) const { return FValues.count(AName) != 0; }

std::optional<std::string> TRegistry::ReadString(const std::string& AName) const {
  auto it = FValues.find(AName);
  if (it == FValues.end()) return std::nullopt;
  if (it->second.Kind == TRegValueKind::rvString) return it->second.Text;
  return std::to_string(it->second.DWord);
}

std::optional<uint32_t> TRegistry::ReadInteger(const std::string& AName) const {
  auto it = FValues.find(AName);
  if (it == FValues.end()) return std::nullopt;
  if (it->second.Kind == TRegValueKind::rvDWord) return it->second.DWord;
  const std::string& t = it->second.Text;
  uint32_t v = 0;
  auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc() || ptr != t.data() + t.size() || t.empty()) return std::nullopt;
  return v;
}

std::optional<bool> TRegistry::ReadBool(const std::string& AName) const {
  auto v = ReadInteger(AName);
  if (!v) return std::nullopt;
  return *v != 0;
}

void TRegistry::Store(const std::string& AName, TRegValue AValue) {
  auto saved = FValues;
  FValues[AName] = std::move(AValue);
  try {
    Save();
  } catch (...) {
    FValues = std::move(saved);
    throw;
  }
}

void TRegistry::WriteString(const std::string& AName, const std::string& AValue) {
  TRegValue v;
  v.Kind = TRegValueKind::rvString;
  v.Text = AValue;
  Store(AName, std::move(v));
}

void TRegistry::WriteInteger(const std::string& AName, uint32_t AValue) {
  TRegValue v;
  v.Kind = TRegValueKind::rvDWord;
  v.DWord = AValue;
  Store(AName, std::move(v));
}

void TRegistry::WriteBool(const std::string& AName, bool AValue) { WriteInteger(AName, AValue ? 1 : 0); }

void TRegistry::DeleteValue(const std::string& AName) {
  auto saved = FValues;
  if (FValues.erase(AName) == 0) return;
  try {
    Save();
  } catch (...) {
    FValues = std::move(saved);
    throw;
  }
}

}  // namespace vexor
