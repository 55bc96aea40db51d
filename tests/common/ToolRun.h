#pragma once
// Runs a command-line tool once with arguments and standard input, and collects its exit status,
// standard output and standard error. Per-process file names: ctest may run several cases at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace vexor::testing {

struct TToolRun {
  int Exit;
  std::string Out, Err;
};

inline std::string SlurpFile(const std::string& APath) {
  std::ifstream f(APath, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// AArgs is put into a shell command line as it is.
inline TToolRun RunTool(const std::string& AProgram, const std::string& AArgs, const std::string& AInput) {
  std::string dir = ::testing::TempDir() + "tool" + std::to_string(::getpid()) + "_";
  std::string in = dir + "in", out = dir + "out", err = dir + "err";
  std::ofstream(in, std::ios::binary) << AInput;
  std::string cmd = "'" + AProgram + "' " + AArgs + " <" + in + " >" + out + " 2>" + err;
  int st = std::system(cmd.c_str());
  return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, SlurpFile(out), SlurpFile(err)};
}

}  // namespace vexor::testing
