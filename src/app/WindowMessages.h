#pragma once
// The texts the debugger window shows when a run goes wrong, in one place. Each says what
// happened, with the facts the library reported, and what the user can do about it.
// Pure functions; callable from any thread.
#include <cstdint>
#include <string>

#include "requests/ChildProcessRequester.h"

namespace vexor {

class TWindowMessages {
 public:
  // Seconds after a start within which the DevTools address is expected.
  static constexpr int kDevToolsWaitSeconds = 5;

  // AProgram could not be started; AReason is the failure as reported (the system's message
  // included).
  static std::string NodeNotStarted(const std::string& AProgram, const std::string& AReason);
  // The script ended; ALastError is its last standard-error line ("" for none).
  static std::string ScriptEnded(const TChildExit& AExit, const std::string& ALastError);
  // The script ended with exit code 0 after ASeconds: nothing is run again (in watch mode the
  // next change runs it).
  static std::string ScriptCompleted(double ASeconds, bool AWatch);
  // The script has ended and node waits for DevTools to disconnect; AFailed when node reported
  // an uncaught error (ALastError its line).
  static std::string ScriptEndedWaiting(bool AFailed, const std::string& ALastError);
  // A run could not be started with its settings (AReason says why).
  static std::string RunNotStarted(const std::string& AReason);
  // A watched file changed and the run was started again.
  static std::string FileChanged(const std::string& AFile);
  // The default port was taken; ANote names the port used instead.
  static std::string PortReplaced(const std::string& ANote);
  // Our inspector could not listen on APort: another program holds it. The run was stopped.
  static std::string PortInUse(int32_t APort);
  // Follows the requester's sentence on a refused DevTools address.
  static constexpr const char* kFrontEndRefusedHint =
      "Another program may be answering on the inspector port: choose another port with --port N, then press "
      "Restart (F5), or Stop (Shift+F5).";
  // No DevTools address within kDevToolsWaitSeconds of the start.
  static std::string NoDevToolsAddress(const std::string& ALastError);

  // Tool tips of the window's commands, the shortcut in brackets.
  static std::string WithShortcut(const std::string& ACaption, const std::string& AShortcut);
};

}  // namespace vexor
