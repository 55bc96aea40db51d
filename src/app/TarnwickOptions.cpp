#include "app/TarnwickOptions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <strings.h>

#include "platform/SysError.h"

namespace vexor {
namespace {

template <typename T>
bool ParseNumber(const std::string& AText, T AMin, T AMax, T& AValue) {
  int64_t v = 0;
  auto [ptr, ec] = std::from_chars(AText.data(), AText.data() + AText.size(), v);
  if (ec != std::errc() || ptr != AText.data() + AText.size() || AText.empty() || v < AMin || v > AMax) return false;
  AValue = static_cast<T>(v);
  return true;
}

}  // namespace

TTarnwickParseResult ParseTarnwickOptions(const std::vector<std::string>& AArgs) {
  TTarnwickParseResult result;
  TTarnwickOptions o;
  auto fail = [&](std::string AError) {
    result.Error = std::move(AError);
    return result;
  };
  bool endOfOptions = false;
  for (size_t i = 1; i < AArgs.size(); ++i) {
    const std::string& a = AArgs[i];
    // Options that take a value accept both "--port 9229" and "--port=9229".
    auto value = [&](const char* AName, std::string& AOut) -> bool {
      std::string name = AName;
      if (a == name) {
        if (i + 1 >= AArgs.size()) return false;
        AOut = AArgs[++i];
        return true;
      }
      AOut = a.substr(name.size() + 1);
      return true;
    };
    auto is = [&](const char* AName) {
      std::string name = AName;
      return a == name || a.rfind(name + "=", 0) == 0;
    };
    std::string v;
    if (endOfOptions || a.empty() || (a[0] != '-' && a[0] != '/') || a == "-") {
      if (!o.Script.empty()) return fail("only one script may be given (also got '" + a + "')");
      o.Script = a;
    } else if (a == "--") {
      endOfOptions = true;
    } else if (a == "--help" || a == "-h") {
      o.Help = true;
    } else if (a == "--version") {
      o.Version = true;
    } else if (a == "--headless") {
      o.Headless = true;
    } else if (a == "--no-break") {
      o.BreakOnLoad = false;
    } else if (strcasecmp(a.c_str(), "-t") == 0 || strcasecmp(a.c_str(), "/t") == 0) {
      o.LogToFile = true;
    } else if (is("--port")) {
      if (!value("--port", v)) return fail("--port needs a value");
      if (!ParseNumber<uint16_t>(v, 0, 65535, o.Port))
        return fail("--port: '" + v + "' is not a port number (0-65535)");
    } else if (is("--watchdog")) {
      if (!value("--watchdog", v)) return fail("--watchdog needs a value");
      if (!ParseNumber<int32_t>(v, 0, INT32_MAX, o.WatchdogMs))
        return fail("--watchdog: '" + v + "' is not a number of milliseconds");
    } else if (is("--node")) {
      if (!value("--node", v)) return fail("--node needs a value");
      if (v.empty()) return fail("--node: the program name is empty");
      o.Node = v;
    } else if (a[0] == '/') {
      // An absolute path, not a switch.
      if (!o.Script.empty()) return fail("only one script may be given (also got '" + a + "')");
      o.Script = a;
    } else {
      return fail("unknown option '" + a + "'");
    }
  }
  result.Options = o;
  return result;
}

std::string ValidateScript(const std::string& AScript) {
  if (AScript.empty()) return "no script given";
  struct stat st {};
  if (::stat(AScript.c_str(), &st) != 0) return "cannot open script '" + AScript + "': " + SysErrorMessage(errno);
  if (S_ISDIR(st.st_mode)) return "'" + AScript + "' is a folder, not a script";
  if (::access(AScript.c_str(), R_OK) != 0) return "cannot read script '" + AScript + "': " + SysErrorMessage(errno);
  return std::string();
}

std::string TarnwickUsage() {
  return "Usage: tarnwick [--headless] [--no-break] [--port N] [--watchdog MS] [--node PROGRAM] [-t] [SCRIPT]\n"
         "Debug a Node.js script: starts PROGRAM (default node) on SCRIPT with the V8 inspector on\n"
         "127.0.0.1:N (default 5678) and shows Chrome DevTools for it.\n"
         "\n"
         "Window (the default where a display exists): the debugger window \"Vexor Tarnwick\" opens with\n"
         "SCRIPT in its path box and starts debugging it at once when the file exists; Debug/Restart,\n"
         "Stop and \"Break on load\" control the run, DevTools shows it. Closing the window, SIGINT or\n"
         "SIGTERM end the script and tarnwick.\n"
         "Headless (--headless, or no display): SCRIPT is required; prints \"DevTools: <address>\" each\n"
         "time the address becomes known and passes the script's output through, until SIGINT/SIGTERM.\n"
         "\n"
         "  --headless      run without a window (also chosen when no display is available)\n"
         "  --no-break      do not stop on the script's first line (--inspect instead of --inspect-brk);\n"
         "                  in the window, \"Break on load\" starts unticked\n"
         "  --port N        inspector port, 0 for none (default 5678)\n"
         "  --watchdog MS   end the script when it prints nothing on standard output for MS ms\n"
         "  --node PROGRAM  the Node.js program to start (default: node, found on PATH)\n"
         "  -t              write the message log to $XDG_STATE_HOME/Vexor/Logs/tarnwick.msg\n"
         "  --help          show this help;  --version  show the version\n";
}

bool DisplayAvailable(const char* ADisplay, const char* AWaylandDisplay, const char* AQtPlatform) {
  auto set = [](const char* AValue) { return AValue && *AValue; };
  return set(ADisplay) || set(AWaylandDisplay) || set(AQtPlatform);
}

std::string TarnwickVersion() { return "tarnwick 1.0.0"; }

}  // namespace vexor
