#pragma once
// TDebugRun: one start of a debug run, the same for the window and headless. It turns the run
// settings into node's command line (node options, the script, the script's arguments; or a
// program of the user's with the inspector given to every node it starts), the working folder
// (the project folder rule) and the environment (--env-file entries, then --env entries),
// looks for a free inspector port when the default one is taken and none was named, starts the
// requester and reports everything that happens to the run through one handler.
//
// A run that ends with exit code 0 has finished: it is not started again. A run that fails is
// started again after 30 s unless restarts are off (or CancelRestart was called).
//
// Threads: create, Start and destroy on the main thread (destroying ends node). The handler is
// called on whatever thread the event happens on (the requester's worker, its discovery, the
// main thread, the watchdog's timer); each event carries the run number it was created with,
// so that the receiver can hop once to its own thread and drop the events of an earlier run.
// CancelRestart, LastError and Crashed may be called from any thread.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/RecentScripts.h"
#include "app/TarnwickOptions.h"
#include "nodejs/NodeJsRequester.h"

namespace vexor {

struct TDebugRunSettings {
  std::string Script;                    // absolute path; empty with Program
  std::vector<std::string> Arguments;    // the script's own arguments
  std::vector<std::string> Program;      // a program and its arguments, run instead of node SCRIPT
  std::vector<std::string> NodeOptions;  // before the script (NODE_OPTIONS for a program)
  std::vector<std::string> Environment;  // NAME=VALUE, applied after the env file's
  std::string EnvFile;                   // dotenv file, "" for none
  std::string WorkingFolder;             // "" : the project folder (the current folder for a program)
  std::string Node = "node";
  uint16_t Port = 5678;    // 0: no inspector
  bool PortGiven = false;  // false: a taken default port is replaced by a free one
  int32_t WatchdogMs = 0;
  bool BreakOnLoad = true;
  bool Restart = true;  // a failed script is started again after 30 s
  // The window's runs: a pseudo-terminal of this size for the script's input and output.
  std::optional<TTerminalSize> Terminal;
  // Without a terminal: standard error through the output pipe (one stream, exact order).
  bool ErrorsWithOutput = false;
};

enum TRunEventKind {
  rekDebugger,              // a new DevTools address (Url)
  rekStartFailed,           // node could not be started (Program, Reason)
  rekEnded,                 // the script ended (Exit; Finished for exit code 0)
  rekInspectorFailed,       // another program holds the inspector port (Port)
  rekFrontEndRefused,       // the inspector reported a front-end address that is not ours (Reason)
  rekWaitingForDisconnect,  // the script ended and node waits for DevTools to go (Finished)
};

struct TRunEvent {
  int Run = 0;
  TRunEventKind Kind = rekDebugger;
  std::string Url;
  std::string Program, Reason;
  TChildExit Exit;
  bool Finished = false;  // the script ended well: nothing went wrong
  double Seconds = 0;     // how long the script ran (rekEnded)
  int32_t Port = 0;
  std::string LastError;  // the script's error line that tells what went wrong, "" for none
};
using TRunEventHandler = std::function<void(const TRunEvent& AEvent)>;

// The run settings of the command line (the window starts from them too). Watch mode turns the
// restart off: an ended script waits for the next change.
TDebugRunSettings RunSettingsFrom(const TTarnwickOptions& AOptions);
// The script's run settings the command line gives; none when it gives none of them.
std::optional<TScriptSettings> ScriptSettingsFrom(const TTarnwickOptions& AOptions);
// ASettings (a script's run settings) put into ARun.
void ApplyScriptSettings(const TScriptSettings& ASettings, TDebugRunSettings& ARun);
// The nearest folder at or above AScript's folder that holds a package.json, else AScript's
// folder (AScript absolute).
std::string ProjectFolder(const std::string& AScript);
// APath made absolute against ABase (the current folder when empty) and tidied ("." and ".."
// removed); unchanged when already absolute apart from the tidying.
std::string AbsolutePathFrom(const std::string& APath, const std::string& ABase = "");
// A run time for people: "0.4 s", "12 s", "3 min 5 s", "2 h 1 min".
std::string RunTimeText(double ASeconds);
// How a run ended, as one sentence without the subject's capital: "the script finished with exit
// code 0 after 1.2 s" or, for a failure, the requester's description (exit code and restart).
std::string DescribeRunEnd(const TRunEvent& AEvent);
// True when something listens on 127.0.0.1:APort (or it cannot be bound).
bool LoopbackPortTaken(uint16_t APort);
// A port no one listens on now, 0 when none could be found.
uint16_t FreeInspectorPort();

// Keeps what tells about a run's end from its error output: the last line that says what went
// wrong, and whether node reported an uncaught error ("Node.js v..." after the report).
// Threads: any (guarded).
class TRunErrorLines {
 public:
  void Add(const std::string& ALine);
  std::string LastError() const;
  bool Crashed() const;
  void Clear();

 private:
  mutable std::mutex FLock;  // guards the fields below (a leaf)
  std::string FErrorLine;    // the last "...Error: ..." line
  std::string FLastLine;     // the last line that may tell the error
  bool FCrashed = false;
};

class TDebugRun {
 public:
  static constexpr const char* kWaitingForDisconnect = "Waiting for the debugger to disconnect";

  // AOutput gets the script's output lines (on the worker). Nothing starts before Start.
  TDebugRun(TDebugRunSettings ASettings, TRef<IChildProcessRequesterEvents> AOutput, int ARun,
            TRunEventHandler AOnEvent);
  ~TDebugRun();
  TDebugRun(const TDebugRun&) = delete;
  TDebugRun& operator=(const TDebugRun&) = delete;

  // Starts node. Raises Exception with a one-line reason for settings that cannot work (an env
  // file that cannot be read or parsed, a working folder that does not exist).
  void Start();
  // A failed script is not started again (any thread).
  void CancelRestart();

  TBasicNodeJsRequester* Requester() const { return FRequester.get(); }
  int Run() const { return FRun; }
  const TDebugRunSettings& Settings() const { return FSettings; }
  // Known after Start.
  const std::string& WorkingFolder() const { return FWorkingFolder; }
  uint16_t Port() const { return FPort; }
  // "" or the sentence that the default port was taken and which one is used instead.
  const std::string& PortNote() const { return FPortNote; }
  std::string LastError() const { return FErrors->LastError(); }

 private:
  void Report(TRunEvent AEvent) const;

  const TDebugRunSettings FSettings;
  const int FRun;
  const TRunEventHandler FOnEvent;
  const std::shared_ptr<TRunErrorLines> FErrors = std::make_shared<TRunErrorLines>();
  TRef<IChildProcessRequesterEvents> FOutput;
  // Main thread; set in Start.
  std::string FWorkingFolder;
  uint16_t FPort = 0;
  std::string FPortNote;
  TCustomAsyncRequester::TOwned<TBasicNodeJsRequester> FRequester;
};

}  // namespace vexor
