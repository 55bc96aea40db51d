#pragma once
// TRecentScripts: the scripts last debugged, newest first, at most kMaxItems, kept under the
// current user's "Software\Vexor\Tarnwick\1.0\Recent" as "File1" (newest) to "File10". Files
// that no longer exist are left out when the list is read and when it is written.
// Threads: one thread at a time (the window's main thread).
#include <string>
#include <vector>

namespace vexor {

class TRecentScripts {
 public:
  static constexpr size_t kMaxItems = 10;
  static constexpr const char* kKey = "Software\\Vexor\\Tarnwick\\1.0\\Recent";

  // Reads the stored list (missing files dropped).
  TRecentScripts();

  // Puts AScript (an absolute path) first, removing an earlier entry of it, and stores the list.
  // Registry errors leave the stored list as it was.
  void Add(const std::string& AScript);
  // The list, newest first, without files that have gone since.
  std::vector<std::string> Items() const;

 private:
  void Save() const;
  std::vector<std::string> FItems;  // newest first
};

}  // namespace vexor
