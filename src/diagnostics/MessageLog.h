#pragma once
// The process-wide message log.
// LogMessage and TMessagesList::AddMessage may be called from any thread at any time. The list's
// lock serializes file appends, list changes and OnMessage, so file lines appear in the order
// the lock was taken; OnMessage runs on the caller's thread with the lock held. ConsoleLog takes
// no lock. The lock is a leaf: nothing else is locked or waited for while it is held.
// Every accepted message is on disk (when file logging is on) when LogMessage returns.
#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DateTime.h"

namespace vexor {

enum TMessageLevel : int {
  tmsFatalError = 0,
  tmsException = 1,
  tmsError = 2,
  tmsWarning = 3,
  tmsMessage = 4,
  tmsTrace2 = 5,
  tmsTrace1 = 6,
  tmsTrace = 7,
  tmsProgress = 8,
};

// The name a level is written with in the log file ("Warning", "Trace 2", ...).
std::string MessageLevelName(TMessageLevel ALevel);

class TMessageItem {
 public:
  TMessageItem(TMessageLevel ASeverity, std::string ASource, std::string AMessage);

  TDateTime Received() const { return FReceived; }
  void SetReceived(TDateTime AValue) { FReceived = AValue; }
  TMessageLevel Severity() const { return FSeverity; }
  const std::string& Source() const { return FSource; }
  const std::string& Msg() const { return FMessage; }

  // The log-file line, CR LF included.
  std::string FileLine() const;

 private:
  TDateTime FReceived;
  TMessageLevel FSeverity;
  std::string FSource;
  std::string FMessage;
};

class TMessagesList;
using TMessageEvent = std::function<void(TMessagesList& AList, const TMessageItem& AItem)>;

class TMessagesList {
 public:
  // The newest messages kept in memory; the log file, when one is written, has them all.
  static constexpr size_t kMaxItems = 100;

  explicit TMessagesList(bool ALoadRegistryConfig);

  void AddMessage(TMessageLevel ASeverity, const std::string& ASource, const std::string& AMessage);
  void AddMessage(const std::string& ASource, const std::exception& E);

  // Writes AMsg to the debug-output channel and nothing else.
  static void ConsoleLog(const std::string& AMsg);
  // Appends every item to AFileName in the file-line format.
  static void WriteLogFile(const std::string& AFileName, const std::vector<TMessageItem>& ALog);
  // The default log file: $XDG_STATE_HOME/Vexor/Logs/<program file name>.msg.
  static std::string DefaultFileName();

  // Keeps only the last AMaxFileSizeInBytes bytes of the log file; errors are ignored.
  void ReduceLogFileSize(size_t AMaxFileSizeInBytes);

  bool WriteToFile() const;
  void SetWriteToFile(bool AValue);
  std::string LogFile() const;
  void SetLogFile(const std::string& AValue);
  TMessageLevel LogLevel() const;
  void SetLogLevel(TMessageLevel AValue);
  void SetOnMessage(TMessageEvent AValue);

  // A copy of the messages held in memory, oldest first.
  std::vector<TMessageItem> Items() const;
  size_t Count() const;
  void Clear();

  // Name used in the list's own error lines.
  static constexpr const char* kClassName = "TMessagesList";

 private:
  void LoadRegistryConfig();
  void DoAddMessage(TMessageLevel ASeverity, const std::string& ASource, const std::string& AMessage);
  void AppendToFile(const TMessageItem& AItem);  // FLock held

  mutable std::recursive_mutex FLock;
  // Guarded by FLock.
  std::deque<TMessageItem> FItems;
  bool FWriteToFile = false;
  std::string FFileName;
  TMessageEvent FOnMessage;
  // Read without the lock for the cheap level test; written under FLock.
  std::atomic<int> FLogLevel{tmsWarning};
  // Whether this is the process-wide list (set and cleared by start-up and shut-down).
  std::atomic<bool> FIsGlobal{false};
  friend void StartMessageLog();
  friend void StopMessageLog();
};

// The process-wide list; null before start-up and after shut-down.
TMessagesList* MessagesList();

// Start-up: creates the global list from the registry and turns file logging on with the "t"
// switch of the process's command line. Shut-down frees it. Both run on the main thread.
void StartMessageLog();
void StopMessageLog();

// The process-wide entry point, callable from any thread.
void LogMessage(TMessageLevel ALevel, const std::string& ASource, const std::string& AMessage);
// Logs AMessage at tmsTrace2 with an empty source.
void LogMessage(const std::string& AMessage);

}  // namespace vexor
