#include "app/WindowMessages.h"

#include <cctype>

#include "app/DebugRun.h"
#include "nodejs/NodeJsRequester.h"

namespace vexor {
namespace {

// A last error line as a quoted sentence of its own, or nothing.
std::string LastErrorSentence(const std::string& ALastError) {
  if (ALastError.empty()) return "";
  return " Its last error output: \"" + ALastError + "\".";
}

}  // namespace

std::string TWindowMessages::NodeNotStarted(const std::string& AProgram, const std::string& AReason) {
  return "Node.js could not be started: \"" + AProgram + "\" failed (" + AReason +
         "). Install Node.js, or name its program with --node PROGRAM; then press Restart (F5), or Stop (Shift+F5).";
}

std::string TWindowMessages::ScriptEnded(const TChildExit& AExit, const std::string& ALastError) {
  std::string text = TBasicNodeJsRequester::DescribeExit(AExit);
  text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  text += ".";
  text += LastErrorSentence(ALastError);
  if (AExit.RestartInSeconds < 0)
    text += " Press Debug (F5) to start it again.";
  else
    text += " Press Restart (F5) to start it now, or Stop (Shift+F5) to leave it ended.";
  return text;
}

std::string TWindowMessages::ScriptCompleted(double ASeconds, bool AWatch) {
  std::string text = "The script finished (exit code 0) after " + RunTimeText(ASeconds) + ".";
  text += AWatch ? " It runs again when a project file changes, or press Debug (F5)."
                 : " Press Debug (F5) to run it again.";
  return text;
}

std::string TWindowMessages::ScriptEndedWaiting(bool AFailed, const std::string& ALastError) {
  if (!AFailed)
    return "The script has finished; node waits for DevTools to disconnect before it ends. Press Restart (F5) to "
           "run it again, or Stop (Shift+F5).";
  return "The script failed; node waits for DevTools to disconnect before it ends." + LastErrorSentence(ALastError) +
         " The error is also in the Console panel. Press Restart (F5) to run it again, or Stop (Shift+F5).";
}

std::string TWindowMessages::RunNotStarted(const std::string& AReason) {
  return "The script could not be started: " + AReason + ". Change its Run settings, then press Debug (F5).";
}

std::string TWindowMessages::FileChanged(const std::string& AFile) {
  return AFile + " changed; the script was started again.";
}

std::string TWindowMessages::PortReplaced(const std::string& ANote) {
  std::string text = ANote;
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text + ".";
}

std::string TWindowMessages::PortInUse(int32_t APort) {
  return "The inspector port " + std::to_string(APort) +
         " is in use by another program, so the script cannot be debugged and was stopped. End the program "
         "that holds the port, or start Tarnwick with another port (--port N); then press Debug (F5).";
}

std::string TWindowMessages::NoDevToolsAddress(const std::string& ALastError) {
  return "No DevTools address arrived within " + std::to_string(kDevToolsWaitSeconds) + " s of the start." +
         LastErrorSentence(ALastError) +
         " Check that the program given with --node is Node.js with its inspector, and that the script is "
         "not blocked; then press Restart (F5), or Stop (Shift+F5).";
}

std::string TWindowMessages::WithShortcut(const std::string& ACaption, const std::string& AShortcut) {
  return ACaption + " (" + AShortcut + ")";
}

}  // namespace vexor
