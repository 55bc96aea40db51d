#pragma once
// The registry store: two hives of keys kept as folders, each key's values in one
// human-readable typed file ("values") replaced atomically on write.
//   user hive:    $XDG_CONFIG_HOME (default ~/.config)
//   machine hive: first of $XDG_CONFIG_DIRS (default /etc/xdg)
// A key path such as "Software\\Vexor\\Tarnwick\\1.0" becomes the folder
// <hive>/Software/Vexor/Tarnwick/1.0. Value file lines: "<name>=sz:<text>" or "<name>=dword:<n>",
// with '\\', '\n' and '=' in names and texts escaped as "\\\\", "\\n" and "\\=".
// A TRegistry object is used by one thread at a time; different objects may be used at once.
// Concurrent writers of one key race as writers of a registry value do: the last rename wins.
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace vexor {

enum class TRegistryHive { rhCurrentUser, rhLocalMachine };

enum class TRegValueKind { rvString, rvDWord };

struct TRegValue {
  TRegValueKind Kind = TRegValueKind::rvString;
  std::string Text;
  uint32_t DWord = 0;
};

class TRegistry {
 public:
  explicit TRegistry(TRegistryHive AHive = TRegistryHive::rhCurrentUser);

  // A value file larger than this is not read (said on the debug output): settings are small.
  static constexpr uint64_t kMaxValueFileBytes = 1024 * 1024;

  // Folder that holds a hive, as the XDG variables say now.
  static std::string HivePath(TRegistryHive AHive);

  // Opens a key; a read-only open fails when the key's folder does not exist, a writable one
  // creates it (0700) when ACanCreate. Returns false on failure, and (said on the debug output)
  // when the folder belongs to another user than us or root. A value file that is a symbolic
  // link, not a regular file or larger than kMaxValueFileBytes is not read: the key is empty.
  bool OpenKey(const std::string& AKey, bool ACanCreate);
  bool OpenKeyReadOnly(const std::string& AKey);
  bool KeyExists(const std::string& AKey) const;
  void CloseKey();
  const std::string& CurrentPath() const { return FCurrentPath; }

  bool ValueExists(const std::string& AName) const;
  std::optional<std::string> ReadString(const std::string& AName) const;
  // A dword value, or a text value holding a decimal number.
  std::optional<uint32_t> ReadInteger(const std::string& AName) const;
  std::optional<bool> ReadBool(const std::string& AName) const;

  // The values of a value file's text; unreadable lines are skipped. Never raises.
  static std::map<std::string, TRegValue> ParseValues(const std::string& AText);

  // Writes replace the key's value file atomically (temporary file + rename); they raise
  // Exception when the key is read-only, not open or the file cannot be written.
  void WriteString(const std::string& AName, const std::string& AValue);
  void WriteInteger(const std::string& AName, uint32_t AValue);
  void WriteBool(const std::string& AName, bool AValue);
  void DeleteValue(const std::string& AName);

 private:
  std::string KeyFolder(const std::string& AKey) const;
  void Load();
  void Save();
  void Store(const std::string& AName, TRegValue AValue);

  // Constant after construction.
  const TRegistryHive FHive;
  // Owned by the using thread.
  std::string FCurrentPath;
  std::string FFolder;
  bool FOpen = false;
  bool FReadOnly = true;
  std::map<std::string, TRegValue> FValues;  // the open key's values, names as written
};

}  // namespace vexor
