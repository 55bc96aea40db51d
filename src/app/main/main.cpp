// The tarnwick program: a debugger host for Node.js scripts, in its window where a display
// exists, headless otherwise.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "app/DebugRun.h"
#include "app/HeadlessRunner.h"
#include "app/Services.h"
#include "app/TarnwickOptions.h"
#ifdef TARNWICK_WITH_BROWSER
#include "window/WindowRunner.h"
#include "window/WindowServices.h"
#endif

int main(int argc, char** argv) {
  using namespace vexor;
  SetProcessArgs(argc, argv);
  TTarnwickParseResult parsed = ParseTarnwickOptions(ProcessArgs());
  if (!parsed.Options) {
    std::fprintf(stderr, "tarnwick: %s\n%s", parsed.Error.c_str(), TarnwickUsage().c_str());
    return 2;
  }
  TTarnwickOptions& options = *parsed.Options;
  // Made absolute before anything else, against the folder tarnwick was started in.
  if (!options.Script.empty()) options.Script = AbsolutePathFrom(options.Script);
  if (options.Help) {
    std::fputs(TarnwickUsage().c_str(), stdout);
    return 0;
  }
  if (options.Version) {
    std::printf("%s\n", TarnwickVersion().c_str());
    return 0;
  }
#ifdef TARNWICK_WITH_BROWSER
  const bool window = !options.Headless && DisplayAvailable(std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"),
                                                            std::getenv("QT_QPA_PLATFORM"));
#else
  const bool window = false;
#endif
  // The window takes any first argument: a missing file only fills its path box.
  if (!window && options.Program.empty()) {
    if (std::string problem = ValidateScript(options.Script); !problem.empty()) {
      std::fprintf(stderr, "tarnwick: %s\n%s", problem.c_str(), TarnwickUsage().c_str());
      return 2;
    }
  }
  StartTarnwickServices();
  int status = 0;
#ifdef TARNWICK_WITH_BROWSER
  // The browser is the last service before the window and the first to go after it.
  if (window) {
    if (!StartBrowserServices()) {
      std::fprintf(stderr, "tarnwick: the browser runtime could not be started\n");
      status = 1;
    } else {
      status = RunWindow(options, argc, argv);
    }
    StopBrowserServices();
  }
#endif
  if (!window) status = RunHeadless(options);
  StopTarnwickServices();
  return status;
}

#if defined(TARNWICK_WITH_BROWSER) && defined(__SANITIZE_ADDRESS__)
// Builds with AddressSanitizer only: Chromium inside Qt WebEngine deletes some of its own objects
// through a pointer of another size, and it and fontconfig keep process-lifetime allocations that
// the leak checker reports. That is the libraries' code; every check stays on for ours.
extern "C" const char* __asan_default_options() { return "new_delete_type_mismatch=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:libQt6WebEngineCore.so\nleak:libfontconfig.so\n"; }
#endif
