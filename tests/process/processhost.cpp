// Starts the test child through a controller and then waits to be killed, so that a test can
// SIGKILL this program and look for survivors.
// Usage: tw_process_host TESTCHILD job|nojob
//   job:   the child is bound to a job and starts a grandchild
//   nojob: the child is bound to nothing (only its own parent-death signal protects it)
// Forwards the child's "pid" and "grandchild" lines to standard output, then prints "ready".
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "process/ChildProcessController.h"

using vexor::TChildProcessController;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tw_process_host TESTCHILD job|nojob\n");
    return 2;
  }
  const bool job = std::string(argv[2]) == "job";
  TChildProcessController child(argv[1], job ? "pid ignoreterm grandchild sleep 600000" : "pid sleep 600000");
  if (job) child.SetKillProcessOnParentTerminated(0);
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    child.CheckProcess([&](const std::string& AText) { output += AText; }, 20, true);
    if (output.find("pid ") != std::string::npos && (!job || output.find("grandchild ") != std::string::npos) &&
        output.back() == '\n')
      break;
  }
  output += "ready\n";
  (void)::write(1, output.data(), output.size());
  for (;;) ::pause();
}
