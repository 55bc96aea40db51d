#pragma once
// The command line of the tarnwick program, parsed into what the debug run needs.
// Pure functions; callable from any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vexor {

struct TTarnwickOptions {
  std::string Script;                    // the start script as given
  std::vector<std::string> Arguments;    // after the script: the script's own arguments
  std::vector<std::string> Program;      // after "--": a program and its arguments, run instead
  std::string WorkingFolder;             // --cwd DIR ("" : the project folder rule)
  std::vector<std::string> NodeOptions;  // --node-option OPT, repeatable
  std::vector<std::string> Environment;  // --env NAME=VALUE, repeatable
  std::string EnvFile;                   // --env-file FILE (dotenv syntax)
  bool Watch = false;                    // --watch
  bool Restart = true;                   // cleared by --no-restart
  bool PortGiven = false;                // --port was named (no free port is looked for then)
  bool Headless = false;                 // --headless (also chosen when no display is available)
  bool BreakOnLoad = true;               // cleared by --no-break
  uint16_t Port = 5678;                  // --port N (0: no inspector)
  int32_t WatchdogMs = 0;                // --watchdog MS (0: none)
  std::string Node = "node";             // --node PROGRAM
  bool LogToFile = false;                // -t or /t (read by the message log itself)
  bool Help = false;
  bool Version = false;
};

struct TTarnwickParseResult {
  std::optional<TTarnwickOptions> Options;  // empty on error
  std::string Error;                        // a one-line reason when Options is empty
};

// Parses argv[1..]. The script is not checked here (the window accepts none or a missing one);
// see ValidateScript.
TTarnwickParseResult ParseTarnwickOptions(const std::vector<std::string>& AArgs);

// "" when AScript names a readable regular file, otherwise a one-line reason ("no script given"
// for an empty one).
std::string ValidateScript(const std::string& AScript);

// "" when AEntry is NAME=VALUE with a usable variable name, otherwise a one-line reason.
std::string CheckEnvironmentEntry(const std::string& AEntry);

std::string TarnwickUsage();
// Whether a window can be shown, from $DISPLAY, $WAYLAND_DISPLAY and $QT_QPA_PLATFORM (a chosen
// Qt platform such as "offscreen" counts as a display).
bool DisplayAvailable(const char* ADisplay, const char* AWaylandDisplay, const char* AQtPlatform);
std::string TarnwickVersion();

}  // namespace vexor
