#include "app/TarnwickOptions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
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

std::string CheckEnvironmentEntry(const std::string& AEntry) {
  const size_t equals = AEntry.find('=');
  if (equals == std::string::npos) return "'" + AEntry + "' is not NAME=VALUE";
  const std::string name = AEntry.substr(0, equals);
  const bool valid = !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0])) &&
                     std::all_of(name.begin(), name.end(),
                                 [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
  if (!valid) return "'" + name + "' is not a variable name (letters, digits and _, not starting with a digit)";
  return std::string();
}

TTarnwickParseResult ParseTarnwickOptions(const std::vector<std::string>& AArgs) {
  TTarnwickParseResult result;
  TTarnwickOptions o;
  auto fail = [&](std::string AError) {
    result.Error = std::move(AError);
    return result;
  };
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
    // The first plain argument is the script; everything after it is the script's.
    const bool plain = !a.empty() && a[0] != '-' && (a[0] != '/' || strcasecmp(a.c_str(), "/t") != 0);
    if (plain || a.empty() || a == "-") {
      o.Script = a;
      o.Arguments.assign(AArgs.begin() + static_cast<std::ptrdiff_t>(i) + 1, AArgs.end());
      break;
    } else if (a == "--") {
      o.Program.assign(AArgs.begin() + static_cast<std::ptrdiff_t>(i) + 1, AArgs.end());
      if (o.Program.empty() || o.Program.front().empty()) return fail("-- needs a program to run");
      break;
    } else if (a == "--help" || a == "-h") {
      o.Help = true;
    } else if (a == "--version") {
      o.Version = true;
    } else if (a == "--headless") {
      o.Headless = true;
    } else if (a == "--no-break") {
      o.BreakOnLoad = false;
    } else if (a == "--watch") {
      o.Watch = true;
    } else if (a == "--no-restart") {
      o.Restart = false;
    } else if (strcasecmp(a.c_str(), "-t") == 0 || strcasecmp(a.c_str(), "/t") == 0) {
      o.LogToFile = true;
    } else if (is("--port")) {
      if (!value("--port", v)) return fail("--port needs a value");
      if (!ParseNumber<uint16_t>(v, 0, 65535, o.Port))
        return fail("--port: '" + v + "' is not a port number (0-65535)");
      o.PortGiven = true;
    } else if (is("--watchdog")) {
      if (!value("--watchdog", v)) return fail("--watchdog needs a value");
      if (!ParseNumber<int32_t>(v, 0, INT32_MAX, o.WatchdogMs))
        return fail("--watchdog: '" + v + "' is not a number of milliseconds");
    } else if (is("--node-option")) {
      if (!value("--node-option", v)) return fail("--node-option needs a value");
      if (v.empty()) return fail("--node-option: the option is empty");
      o.NodeOptions.push_back(v);
    } else if (is("--node")) {
      if (!value("--node", v)) return fail("--node needs a value");
      if (v.empty()) return fail("--node: the program name is empty");
      o.Node = v;
    } else if (is("--cwd")) {
      if (!value("--cwd", v)) return fail("--cwd needs a value");
      if (v.empty()) return fail("--cwd: the folder name is empty");
      o.WorkingFolder = v;
    } else if (is("--env-file")) {
      if (!value("--env-file", v)) return fail("--env-file needs a value");
      if (v.empty()) return fail("--env-file: the file name is empty");
      o.EnvFile = v;
    } else if (is("--env")) {
      if (!value("--env", v)) return fail("--env needs a value");
      if (std::string problem = CheckEnvironmentEntry(v); !problem.empty()) return fail("--env: " + problem);
      o.Environment.push_back(v);
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
  return "Usage: tarnwick [OPTIONS] SCRIPT [ARG...]\n"
         "       tarnwick [OPTIONS] -- PROGRAM [ARG...]\n"
         "Debug a Node.js script: starts node on SCRIPT (everything after it goes to the script, as\n"
         "with node) with the V8 inspector on 127.0.0.1 and shows Chrome DevTools for it. With\n"
         "-- PROGRAM, runs any program (npm run dev, npx mocha, node --test, a shell script) and\n"
         "debugs the Node.js process it started last.\n"
         "\n"
         "The script runs in its project folder: the nearest folder at or above the script's that\n"
         "holds a package.json, else the script's folder; a program runs in the current folder.\n"
         "\n"
         "Window (the default where a display exists): the debugger window \"Vexor Tarnwick\" opens with\n"
         "SCRIPT in its path box and starts debugging it at once when the file exists; Debug/Restart,\n"
         "Stop, \"Break on load\" and Run settings control the run, DevTools shows it. Closing the\n"
         "window, SIGINT or SIGTERM end the script and tarnwick.\n"
         "Headless (--headless, or no display): prints \"DevTools: <address>\" each time the address\n"
         "becomes known and passes the script's output through. A script that ends with exit code 0\n"
         "ends tarnwick with status 0; a failing one is started again after 30 s.\n"
         "\n"
         "  --headless          run without a window (also chosen when no display is available)\n"
         "  --no-break          do not stop on the script's first line (--inspect, not --inspect-brk);\n"
         "                      in the window, \"Break on load\" starts unticked\n"
         "  --cwd DIR           run in DIR instead of the project folder\n"
         "  --node-option OPT   give OPT to node before the script (repeatable)\n"
         "  --env NAME=VALUE    set an environment variable for the script (repeatable)\n"
         "  --env-file FILE     set the variables of FILE (dotenv: NAME=VALUE lines, # comments)\n"
         "  --watch             restart when a file of the project changes (node_modules and\n"
         "                      dot folders left out)\n"
         "  --no-restart        do not start a failed script again after 30 s; headless, end with\n"
         "                      the script's exit status\n"
         "  --port N            inspector port, 0 for none (default 5678; when 5678 is taken and no\n"
         "                      port was named, a free port is used and named)\n"
         "  --watchdog MS       end the script when it prints nothing on standard output for MS ms\n"
         "  --node PROGRAM      the Node.js program to start (default: node, found on PATH)\n"
         "  -t                  write the message log to $XDG_STATE_HOME/Vexor/Logs/tarnwick.msg\n"
         "  --help              show this help;  --version  show the version\n"
         "\n"
         "Examples:\n"
         "  tarnwick app.js alice --verbose          process.argv[2..] = alice --verbose\n"
         "  tarnwick --node-option=--import=tsx src/main.ts\n"
         "  tarnwick --env PORT=8080 --env-file .env --watch server.js\n"
         "  tarnwick --no-break -- npm run dev       tarnwick -- npx mocha\n";
}

bool DisplayAvailable(const char* ADisplay, const char* AWaylandDisplay, const char* AQtPlatform) {
  auto set = [](const char* AValue) { return AValue && *AValue; };
  return set(ADisplay) || set(AWaylandDisplay) || set(AQtPlatform);
}

std::string TarnwickVersion() { return "tarnwick 1.0.0"; }

}  // namespace vexor
