#pragma once
// TFileWatcher: watches a project folder and everything below it (inotify), leaving out
// node_modules, folders whose name starts with a dot and editors' temporary files (names ending
// in '~', ".swp", ".swx"). Each burst of changes (files written, created, moved, deleted) is
// reported once, when nothing more has changed for kQuietMs, with the last file that changed.
// Folders made later are watched as they appear.
//
// Threads: create and destroy on one thread (destroying stops and joins the watcher's thread);
// OnChange runs on the watcher's own thread.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>

namespace vexor {

class TFileWatcher {
 public:
  static constexpr uint32_t kQuietMs = 200;
  using TChangeEvent = std::function<void(const std::string& AFile)>;

  // Raises Exception when inotify cannot be used at all.
  TFileWatcher(const std::string& AFolder, TChangeEvent AOnChange);
  ~TFileWatcher();
  TFileWatcher(const TFileWatcher&) = delete;
  TFileWatcher& operator=(const TFileWatcher&) = delete;

  const std::string& Folder() const { return FFolder; }
  // Whether a name in the tree is left out (node_modules, dot folders, editor temporaries).
  static bool Ignored(const std::string& AName, bool AFolder);

 private:
  // Watches AFolder and the folders below it; AFileFound (when given) gets a file found there.
  void AddTree(const std::string& AFolder, std::string* AFileFound = nullptr);
  void Execute();

  // Constant after construction.
  const std::string FFolder;
  const TChangeEvent FOnChange;
  int FInotify = -1;
  int FStop = -1;  // eventfd: written by the destructor
  // Filled before the thread starts, then the watcher's thread only.
  std::map<int, std::string> FWatches;  // watch descriptor -> folder
  std::thread FThread;
};

}  // namespace vexor
