// The tarnwick program: a debugger host for Node.js scripts.
#include <cstdio>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "HeadlessRunner.h"
#include "Services.h"
#include "TarnwickOptions.h"

int main(int argc, char** argv) {
  using namespace vexor;
  SetProcessArgs(argc, argv);
  TTarnwickParseResult parsed = ParseTarnwickOptions(ProcessArgs());
  if (!parsed.Options) {
    std::fprintf(stderr, "tarnwick: %s\n%s", parsed.Error.c_str(), TarnwickUsage().c_str());
    return 2;
  }
  const TTarnwickOptions& options = *parsed.Options;
  if (options.Help) {
    std::fputs(TarnwickUsage().c_str(), stdout);
    return 0;
  }
  if (options.Version) {
    std::printf("%s\n", TarnwickVersion().c_str());
    return 0;
  }
  if (std::string problem = ValidateScript(options.Script); !problem.empty()) {
    std::fprintf(stderr, "tarnwick: %s\n%s", problem.c_str(), TarnwickUsage().c_str());
    return 2;
  }
  StartTarnwickServices();
  // The window arrives later; until then every run is headless.
  int status = RunHeadless(options);
  StopTarnwickServices();
  return status;
}
