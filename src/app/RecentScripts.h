#pragma once
// TRecentScripts: the scripts last debugged, newest first, at most kMaxItems, kept under the
// current user's "Software\Vexor\Tarnwick\1.0\Recent" as "File1" (newest) to "File10", each
// with its run settings ("Args1", "NodeOptions1", "Env1", "Cwd1", "Watch1", "Restart1"; lists as
// one command line). Files that no longer exist are left out when the list is read and when it
// is written.
// Threads: one thread at a time (the window's main thread).
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vexor {

// What the user set for one script: its arguments, node's options, environment additions
// (NAME=VALUE), the working folder ("" : the project folder), watch mode and the restart of a
// failed run.
struct TScriptSettings {
  std::vector<std::string> Arguments;
  std::vector<std::string> NodeOptions;
  std::vector<std::string> Environment;
  std::string WorkingFolder;
  bool Watch = false;
  bool Restart = true;
  bool operator==(const TScriptSettings&) const = default;
};

// A list of arguments as one line a user can read and edit (blanks separate, double quotes
// group), and back.
std::string JoinArguments(const std::vector<std::string>& AArguments);
std::vector<std::string> SplitArguments(const std::string& ALine);

class TRecentScripts {
 public:
  static constexpr size_t kMaxItems = 10;
  static constexpr const char* kKey = "Software\\Vexor\\Tarnwick\\1.0\\Recent";

  // Reads the stored list (missing files dropped).
  TRecentScripts();

  // Puts AScript (an absolute path) first, removing an earlier entry of it, and stores the list.
  // Registry errors leave the stored list as it was.
  void Add(const std::string& AScript);
  // The same, with the script's run settings.
  void Add(const std::string& AScript, const TScriptSettings& ASettings);
  // The run settings last used for AScript; none for a script not in the list.
  std::optional<TScriptSettings> SettingsOf(const std::string& AScript) const;
  // The list, newest first, without files that have gone since.
  std::vector<std::string> Items() const;

 private:
  void Save() const;
  std::vector<std::string> FItems;  // newest first
  std::map<std::string, TScriptSettings> FSettings;
};

}  // namespace vexor
