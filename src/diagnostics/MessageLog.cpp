#include "diagnostics/MessageLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <shared_mutex>

#include "platform/AppPaths.h"
#include "platform/CommandLine.h"
#include "platform/DebugOutput.h"
#include "platform/Exceptions.h"
#include "platform/MainThread.h"
#include "platform/Registry.h"
#include "platform/StrFormat.h"
#include "platform/SysError.h"

namespace vexor {
namespace {

// Guards the global list's lifetime: loggers hold it shared, start-up and shut-down exclusively.
std::shared_mutex gListGuard;
TMessagesList* gList = nullptr;  // guarded by gListGuard
// The global list's level, -1 while there is none: lets LogMessage drop a message that the level
// rejects with one comparison, before any lock.
std::atomic<int> gGlobalLevel{-1};

// Fixed English (United States) short date and long time: "3/7/24 9:05:07 pm".
std::string TimeStamp(TDateTime AWhen) {
  TDecodedDateTime d = DecodeDateTime(AWhen);
  int hour12 = d.Hour % 12 == 0 ? 12 : d.Hour % 12;
  return Format("%d/%d/%02d %d:%02d:%02d %s", d.Month, d.Day, d.Year % 100, hour12, d.Minute, d.Second,
                d.Hour < 12 ? "am" : "pm");
}

void WriteAll(int fd, const std::string& AText) {
  size_t off = 0;
  while (off < AText.size()) {
    ssize_t n = ::write(fd, AText.data() + off, AText.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw Exception(SysErrorMessage(errno));
    off += static_cast<size_t>(n);
  }
}

// Opens the log file for appending, creating it and its folders; holds an exclusive lock so that
// other writers (other processes logging to the same file) wait for the line to be complete.
int OpenLogFile(const std::string& AFileName) {
  std::string folder = ExtractFilePath(AFileName);
  if (!folder.empty() && !DirectoryExists(folder) && !ForceDirectories(folder))
    throw Exception("Cannot create folder " + folder + ": " + SysErrorMessage(errno));
  // Never through a symbolic link planted under the name; never blocking on a FIFO.
  int fd = ::open(AFileName.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
  if (fd < 0) throw Exception("Cannot open " + AFileName + ": " + SysErrorMessage(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw Exception("Cannot open " + AFileName + ": not a regular file");
  }
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  return fd;
}

void AppendLines(const std::string& AFileName, const std::string& ALines) {
  int fd = OpenLogFile(AFileName);
  try {
    WriteAll(fd, ALines);
  } catch (...) {
    ::close(fd);
    throw;
  }
  ::close(fd);
}

}  // namespace

std::string MessageLevelName(TMessageLevel ALevel) {
  switch (ALevel) {
    case tmsFatalError: return "Fatal Error";
    case tmsException:
    case tmsError: return "Error";
    case tmsWarning: return "Warning";
    case tmsMessage: return "Information";
    case tmsTrace2:
    case tmsTrace1: return Format("%s %d", "Trace", ALevel == tmsTrace2 ? 2 : 1);
    case tmsTrace:
    case tmsProgress: return "Trace";
  }
  return "Trace";
}

TMessageItem::TMessageItem(TMessageLevel ASeverity, std::string ASource, std::string AMessage)
    : FReceived(Now()), FSeverity(ASeverity), FSource(std::move(ASource)), FMessage(std::move(AMessage)) {}

std::string TMessageItem::FileLine() const {
  return TimeStamp(FReceived) + " " + MessageLevelName(FSeverity) + " -> " + FSource + ": " + FMessage + "\r\n";
}

TMessagesList::TMessagesList(bool ALoadRegistryConfig) {
  if (ALoadRegistryConfig) {
    try {
      LoadRegistryConfig();
    } catch (const std::exception& e) {
      ConsoleLog(e.what());
    }
  }
}

void TMessagesList::LoadRegistryConfig() {
  const std::string key = "Software\\Vexor\\MessageLog\\" + ProgramFileName();
  TRegistry machine(TRegistryHive::rhLocalMachine);
  TRegistry user(TRegistryHive::rhCurrentUser);
  TRegistry* source = machine.OpenKeyReadOnly(key) ? &machine : user.OpenKeyReadOnly(key) ? &user : nullptr;
  if (!source) return;
  const TRegistry& reg = *source;
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FWriteToFile = reg.ReadBool("WriteToFile").value_or(false);
  if (auto level = reg.ReadInteger("LogLevel"); level && *level <= tmsProgress)
    FLogLevel.store(static_cast<int>(*level));
  if (auto name = reg.ReadString("FileName")) FFileName = *name;
}

void TMessagesList::ConsoleLog(const std::string& AMsg) { OutputDebugString(AMsg); }

std::string TMessagesList::DefaultFileName() {
  std::string folder = IncludeTrailingPathDelimiter(XdgStateHome()) + "Vexor/Logs/";
  std::string name = ChangeFileExt(ProgramPath(), ".msg");
  std::string refusal = ForcePrivateDirectories(folder);
  if (refusal.empty() && ::access(folder.c_str(), W_OK) != 0) refusal = SysErrorMessage(errno);
  if (refusal.empty()) {
    name = folder + ChangeFileExt(ProgramFileName(), ".msg");
  } else {
    // The log does not move without a word: the user would look for it in the usual place.
    ConsoleLog("The log folder " + folder + " cannot be used (" + refusal + "); the message log is written to " + name +
               " instead");
  }
  ConsoleLog(name);
  return name;
}

void TMessagesList::WriteLogFile(const std::string& AFileName, const std::vector<TMessageItem>& ALog) {
  std::string lines;
  for (const auto& item : ALog) lines += item.FileLine();
  AppendLines(AFileName, lines);
}

void TMessagesList::ReduceLogFileSize(size_t AMaxFileSizeInBytes) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  if (FFileName.empty()) return;
  int fd = ::open(FFileName.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) > AMaxFileSizeInBytes) {
    std::string tail(AMaxFileSizeInBytes, '\0');
    ssize_t n = ::pread(fd, tail.data(), tail.size(), st.st_size - static_cast<off_t>(AMaxFileSizeInBytes));
    if (n == static_cast<ssize_t>(tail.size()) && ::ftruncate(fd, 0) == 0) {
      if (::pwrite(fd, tail.data(), tail.size(), 0) < 0) {
        // errors are ignored: the log is best effort here
      }
    }
  }
  ::close(fd);
}

bool TMessagesList::WriteToFile() const {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FWriteToFile;
}

void TMessagesList::SetWriteToFile(bool AValue) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  if (AValue != FWriteToFile || (AValue && FFileName.empty())) {
    FWriteToFile = AValue;
    if (AValue && FFileName.empty()) FFileName = DefaultFileName();
  }
}

std::string TMessagesList::LogFile() const {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FFileName;
}

void TMessagesList::SetLogFile(const std::string& AValue) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FFileName = AValue;
}

TMessageLevel TMessagesList::LogLevel() const { return static_cast<TMessageLevel>(FLogLevel.load()); }
void TMessagesList::SetLogLevel(TMessageLevel AValue) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FLogLevel.store(AValue);
  if (FIsGlobal.load()) gGlobalLevel.store(AValue);
}

void TMessagesList::SetOnMessage(TMessageEvent AValue) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FOnMessage = std::move(AValue);
}

std::vector<TMessageItem> TMessagesList::Items() const {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return std::vector<TMessageItem>(FItems.begin(), FItems.end());
}

size_t TMessagesList::Count() const {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FItems.size();
}

void TMessagesList::Clear() {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  FItems.clear();
}

void TMessagesList::AddMessage(TMessageLevel ASeverity, const std::string& ASource, const std::string& AMessage) {
  DoAddMessage(ASeverity, ASource, AMessage);
}

void TMessagesList::AddMessage(const std::string& ASource, const std::exception& E) {
  DoAddMessage(tmsException, ASource, E.what());
}

void TMessagesList::DoAddMessage(TMessageLevel ASeverity, const std::string& ASource, const std::string& AMessage) {
  if (FLogLevel.load(std::memory_order_relaxed) < ASeverity) return;
  std::optional<TMessageItem> item;
  try {
    item.emplace(ASeverity, ASource, AMessage);
  } catch (const std::exception& e) {
    ConsoleLog("(TMessagesList.DoAddMessage) => " + ASource + ": " + AMessage + ". " + e.what() + ".");
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(FLock);
  if (FWriteToFile) AppendToFile(*item);
  FItems.push_back(std::move(*item));
  if (FItems.size() > kMaxItems) FItems.pop_front();
  if (FOnMessage) FOnMessage(*this, FItems.back());
}

void TMessagesList::AppendToFile(const TMessageItem& AItem) {
  try {
    if (FFileName.empty()) FFileName = DefaultFileName();
    AppendLines(FFileName, AItem.FileLine());
  } catch (const std::exception& e) {
    ConsoleLog(std::string(kClassName) + ": " + e.what());
  }
}

TMessagesList* MessagesList() {
  std::shared_lock<std::shared_mutex> guard(gListGuard);
  return gList;
}

void StartMessageLog() {
  auto* list = new TMessagesList(true);
  list->SetWriteToFile(list->WriteToFile() || FindCmdLineSwitch("t"));
  {
    std::unique_lock<std::shared_mutex> guard(gListGuard);
    if (gList) gList->FIsGlobal.store(false);
    delete gList;
    list->FIsGlobal.store(true);
    gList = list;
    gGlobalLevel.store(list->LogLevel());
  }
  SetAppExceptionLogger([](const std::string& ASource, const std::string& AText) {
    LogMessage(tmsException, ASource, AText);
  });
}

void StopMessageLog() {
  SetAppExceptionLogger(nullptr);
  std::unique_lock<std::shared_mutex> guard(gListGuard);
  gGlobalLevel.store(-1);
  delete gList;
  gList = nullptr;
}

void LogMessage(TMessageLevel ALevel, const std::string& ASource, const std::string& AMessage) {
  int level = gGlobalLevel.load(std::memory_order_relaxed);
  if (level >= 0 && ALevel > level) return;
  std::shared_lock<std::shared_mutex> guard(gListGuard);
  if (gList) {
    gList->AddMessage(ALevel, ASource, AMessage);
    return;
  }
  guard.unlock();
  TMessagesList::ConsoleLog("(ApplicationMessage) " + ASource + ": " + AMessage);
}

void LogMessage(const std::string& AMessage) { LogMessage(tmsTrace2, "", AMessage); }

}  // namespace vexor
