#pragma once
// The tarnwick program started as a user starts it, in a process of its own with an
// environment of the test's choosing; its standard output and error go to one file. This test
// process is a child subreaper, so whatever tarnwick leaves behind becomes its child and is seen.
// Used on the test's main thread. The including test defines TW_TARNWICK (the program).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "common/FreePort.h"
#include "common/ProcessScan.h"
#include "common/Wait.h"
#include "common/TempDir.h"

namespace vexor::testing {

class TProgramFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

  void SetUp() override {
    FScript = FDir / "hello.js";
    std::ofstream(FScript) << "console.log('hello from the script');\nsetInterval(() => {}, 1000);\n";
    FLog = FDir / "node.log";
    FOut = FDir / "out.txt";
  }

  void TearDown() override {
    if (HasFailure()) std::cerr << "tarnwick's output:\n" << Output();
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    ReapOrphans();
  }

  // Starts tarnwick with AArgs in an environment of only AEnv (plus PATH and HOME), in the
  // folder ACwd ("" : this process's).
  void Start(std::vector<std::string> AArgs, std::vector<std::string> AEnv, const std::string& ACwd = "") {
    AArgs.insert(AArgs.begin(), TW_TARNWICK);
    AEnv.push_back(std::string("PATH=") + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin"));
    AEnv.push_back("HOME=" + FDir.Path());
    AEnv.push_back("XDG_CONFIG_HOME=" + FDir / "config");
    AEnv.push_back("XDG_CACHE_HOME=" + FDir / "cache");
    AEnv.push_back("TW_TEST_NODE_LOG=" + FLog);
    if (const char* asan = std::getenv("ASAN_OPTIONS")) AEnv.push_back(std::string("ASAN_OPTIONS=") + asan);
    std::vector<char*> argv, envp;
    for (auto& a : AArgs) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : AEnv) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, FOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (!ACwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, ACwd.c_str());
    ASSERT_EQ(::posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Waits until tarnwick's output holds AText.
  bool WaitOutput(const std::string& AText, uint32_t ATimeoutMs = 60000) {
    return WaitFor([&] { return ReadWholeFile(FOut).find(AText) != std::string::npos; }, ATimeoutMs);
  }
  std::string Output() const { return ReadWholeFile(FOut); }
  // Writes AText to the file AName below the test's folder (folders made as needed).
  std::string Write(const std::string& AName, const std::string& AText) {
    const std::string path = FDir / AName;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << AText;
    return path;
  }

  // Waits for tarnwick's end; its exit status, or -1 when it did not end in time.
  int WaitExit(uint32_t ATimeoutMs = 60000) {
    int status = 0;
    bool ended = WaitFor([&] { return ::waitpid(FPid, &status, WNOHANG) == FPid; }, ATimeoutMs);
    if (!ended) return -1;
    FPid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Reaps what was left to this process; true when nothing of it is still running.
  static bool ReapOrphans() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return Descendants(::getpid()).empty();
  }

  std::vector<std::string> WindowEnv() const {
    return {"QT_QPA_PLATFORM=offscreen", "QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu"};
  }

  TTempDir FDir;
  std::string FScript, FLog, FOut;
  pid_t FPid = -1;
};

}  // namespace vexor::testing
