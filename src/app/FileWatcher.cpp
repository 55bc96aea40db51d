#include "app/FileWatcher.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Exceptions.h"
#include "platform/SysError.h"
#include "platform/Ticks.h"

namespace vexor {
namespace {

constexpr uint32_t kFileEvents = IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE;

bool EndsWith(const std::string& AText, const char* ASuffix) {
  const size_t n = std::strlen(ASuffix);
  return AText.size() >= n && AText.compare(AText.size() - n, n, ASuffix) == 0;
}

}  // namespace

bool TFileWatcher::Ignored(const std::string& AName, bool AFolder) {
  if (AName.empty()) return true;
  if (AFolder) return AName == "node_modules" || AName[0] == '.';
  return EndsWith(AName, "~") || EndsWith(AName, ".swp") || EndsWith(AName, ".swx");
}

TFileWatcher::TFileWatcher(const std::string& AFolder, TChangeEvent AOnChange)
    : FFolder(AFolder), FOnChange(std::move(AOnChange)) {
  FInotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (FInotify < 0) throw Exception("cannot watch '" + AFolder + "' for changes: " + SysErrorMessage(errno));
  FStop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FStop < 0) {
    const int err = errno;
    ::close(FInotify);
    throw Exception("cannot watch '" + AFolder + "' for changes: " + SysErrorMessage(err));
  }
  AddTree(FFolder);
  FThread = std::thread([this] { Execute(); });
}

TFileWatcher::~TFileWatcher() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(FStop, &one, sizeof one);
  FThread.join();
  ::close(FInotify);
  ::close(FStop);
}

void TFileWatcher::AddTree(const std::string& AFolder, std::string* AFileFound) {
  const int wd = ::inotify_add_watch(FInotify, AFolder.c_str(), kFileEvents | IN_ONLYDIR);
  if (wd < 0) return;  // gone already, or the user's watch limit is reached: the rest still works
  FWatches[wd] = AFolder;
  DIR* dir = ::opendir(AFolder.c_str());
  if (!dir) return;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const bool folder = entry->d_type == DT_DIR;
    if (Ignored(name, folder)) continue;
    if (folder)
      AddTree(AFolder + "/" + name, AFileFound);
    else if (AFileFound)
      *AFileFound = AFolder + "/" + name;
  }
  ::closedir(dir);
}

void TFileWatcher::Execute() {
  alignas(inotify_event) char buffer[16384];
  std::string changed;  // the last file of the burst in progress; "" when none
  uint32_t lastChange = 0;
  for (;;) {
    int timeout = -1;
    if (!changed.empty()) {
      const uint32_t passed = GetTickCount32() - lastChange;
      timeout = passed >= kQuietMs ? 0 : static_cast<int>(kQuietMs - passed);
    }
    pollfd fds[2] = {{FInotify, POLLIN, 0}, {FStop, POLLIN, 0}};
    const int r = ::poll(fds, 2, timeout);
    if (r < 0 && errno != EINTR) return;
    if (fds[1].revents) return;
    if (r == 0 && !changed.empty()) {
      std::string file;
      file.swap(changed);
      try {
        FOnChange(file);
      } catch (...) {
        // The watcher goes on; the receiver reports its own failures.
      }
      continue;
    }
    if (r <= 0 || !(fds[0].revents & POLLIN)) continue;
    const ssize_t n = ::read(FInotify, buffer, sizeof buffer);
    if (n <= 0) continue;
    for (ssize_t pos = 0; pos < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + pos);
      pos += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_IGNORED) {
        FWatches.erase(event->wd);
        continue;
      }
      auto folder = FWatches.find(event->wd);
      if (folder == FWatches.end() || event->len == 0) continue;
      const std::string name = event->name;
      const bool isFolder = (event->mask & IN_ISDIR) != 0;
      if (Ignored(name, isFolder)) continue;
      const std::string path = folder->second + "/" + name;
      if (isFolder && (event->mask & (IN_CREATE | IN_MOVED_TO))) {
        // Files can be written into a new folder before its watch exists: those found count.
        std::string found;
        AddTree(path, &found);
        if (!found.empty()) {
          changed = found;
          lastChange = GetTickCount32();
        }
      }
      if (isFolder && !(event->mask & (IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE))) continue;
      changed = path;
      lastChange = GetTickCount32();
    }
  }
}

}  // namespace vexor
