// Real programs run as their authors run them, headless, end to end with a real node (and npm):
// the script's arguments, node options, environment, the working-folder rule, "-- PROGRAM",
// a run that ends (finished, failed and restarted, --no-restart), watch mode and a busy default
// port.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "common/ProgramFixture.h"

namespace vexor {
namespace {

using namespace vexor::testing;

// Prints what the script got, as one JSON line after "GOT ".
constexpr const char* kReport =
    "console.log('GOT ' + JSON.stringify({argv: process.argv.slice(2), cwd: process.cwd(), "
    "foo: process.env.FOO, bar: process.env.BAR, baz: process.env.BAZ, execArgv: process.execArgv, "
    "imported: globalThis.importedMark || null}));\n";

class RunProgramTest : public TProgramFixture {
 protected:
  // Runs tarnwick headless, without a break on the first line, until it ends; its exit status.
  int RunToEnd(std::vector<std::string> AArgs, const std::string& ACwd = "", uint32_t ATimeoutMs = 60000) {
    AArgs.insert(AArgs.begin(), {"--headless", "--no-break", "--port", std::to_string(FreeLoopbackPort())});
    Start(AArgs, {}, ACwd);
    return WaitExit(ATimeoutMs);
  }
  // The JSON the script reported ("" when none).
  std::string Got() const {
    const std::string out = Output();
    const size_t at = out.find("GOT ");
    return at == std::string::npos ? std::string() : out.substr(at + 4, out.find('\n', at) - at - 4);
  }
  // Lines of AFile (a script appends one per start).
  static int Lines(const std::string& AFile) {
    const std::string text = ReadWholeFile(AFile);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }
};

TEST_F(RunProgramTest, ArgumentsNodeOptionsAndEnvironmentReachTheScriptIntact) {
  const std::string script = Write("app/main.js", kReport);
  Write("app/mark.mjs", "globalThis.importedMark = 'from mark.mjs';\n");
  const std::string envFile =
      Write("app/.env", "# settings\nexport BAR='single quoted # kept'\nBAZ=\"two\\nlines\"\nFOO=from-file\n");
  ASSERT_EQ(RunToEnd({"--node-option=--enable-source-maps", "--node-option", "--import=./mark.mjs", "--env-file",
                      envFile, "--env", "FOO=from the command line", script, "two words", "quote\"inside",
                      "n\xC3\xB6n-\xC3\x84SCII \xE2\x9C\x93", "", "--port", "7"}),
            0);
  const std::string got = Got();
  EXPECT_NE(got.find("\"argv\":[\"two words\",\"quote\\\"inside\",\"n\xC3\xB6n-\xC3\x84SCII \xE2\x9C\x93\",\"\","
                     "\"--port\",\"7\"],\"cwd\":\"" +
                     FDir / "app" + "\""),
            std::string::npos)
      << got;
  // --env comes after the file's entries and wins; the file's quoting is dotenv's.
  EXPECT_NE(got.find("\"foo\":\"from the command line\",\"bar\":\"single quoted # kept\",\"baz\":\"two\\nlines\""),
            std::string::npos)
      << got;
  EXPECT_NE(got.find("\"--enable-source-maps\",\"--import=./mark.mjs\"],\"imported\":\"from mark.mjs\""),
            std::string::npos)
      << got;
  EXPECT_NE(Output().find("tarnwick: the script finished with exit code 0 after "), std::string::npos);
}

TEST_F(RunProgramTest, TheScriptRunsInItsProjectFolder) {
  const std::string report = "console.log('GOT ' + process.cwd());\n";
  Write("proj/package.json", "{\"name\": \"proj\"}\n");
  const std::string deep = Write("proj/src/lib/deep.js", report);
  const std::string loose = Write("loose/alone.js", report);
  Write("elsewhere/keep", "");
  struct Case {
    std::vector<std::string> Args;
    std::string StartIn, Folder;
  } cases[] = {
      {{deep}, "", FDir / "proj"},                                    // package.json above the script
      {{loose}, "", FDir / "loose"},                                  // none: the script's own folder
      {{"--cwd", FDir / "elsewhere", deep}, "", FDir / "elsewhere"},  // --cwd wins
      {{"src/lib/deep.js"}, FDir / "proj", FDir / "proj"},            // relative to where tarnwick started
      {{"--cwd", "..", "lib/deep.js"}, FDir / "proj/src", FDir / "proj"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Args.back());
    ASSERT_EQ(RunToEnd(c.Args, c.StartIn), 0);
    EXPECT_EQ(Got(), c.Folder);
  }
  // A folder that does not exist is said and the run fails.
  EXPECT_EQ(RunToEnd({"--cwd", FDir / "missing", deep}), 1);
  EXPECT_NE(Output().find("tarnwick: the working folder '" + FDir / "missing" + "' does not exist"), std::string::npos);
}

TEST_F(RunProgramTest, AProgramOfTheUsersRunsWithItsArgumentsAndItsNodeIsDebugged) {
  Write("proj/package.json",
        "{\"name\": \"proj\", \"version\": \"1.0.0\", \"scripts\": {\"greet\": \"node child.js from-npm\"}}\n");
  Write("proj/child.js", kReport);
  {
    SCOPED_TRACE("-- node child.js a");
    ASSERT_EQ(RunToEnd({"--", "node", "child.js", "a", "b c"}, FDir / "proj"), 0);
    EXPECT_NE(Got().find("\"argv\":[\"a\",\"b c\"],\"cwd\":\"" + FDir / "proj" + "\""), std::string::npos) << Got();
    EXPECT_NE(Output().find("DevTools: devtools://"), std::string::npos) << "the node announced its inspector";
  }
  {
    SCOPED_TRACE("-- npm run greet -- extra");
    ASSERT_EQ(RunToEnd({"--env", "FOO=through npm", "--", "npm", "run", "greet", "--", "extra"}, FDir / "proj"), 0);
    EXPECT_NE(Got().find("\"argv\":[\"from-npm\",\"extra\"]"), std::string::npos) << Got();
    EXPECT_NE(Got().find("\"foo\":\"through npm\""), std::string::npos) << Got();
  }
}

TEST_F(RunProgramTest, AFailedScriptIsStartedAgainAfter30sUnlessRestartsAreOff) {
  const std::string starts = FDir / "starts.log";
  const std::string script = Write("fail.js",
                                   "require('fs').appendFileSync('" + starts + "', 'start\\n');\nrequire('./x');\n");
  {
    SCOPED_TRACE("--no-restart: tarnwick ends with the script's status");
    EXPECT_EQ(RunToEnd({"--no-restart", script}), 1);
    EXPECT_EQ(Lines(starts), 1);
    EXPECT_NE(Output().find("Error: Cannot find module './x'"), std::string::npos);
    EXPECT_NE(Output().find("tarnwick: the script ended with exit code 1; it is not started again"), std::string::npos);
  }
  {
    SCOPED_TRACE("the restart after 30 s");
    Start({"--headless", "--no-break", "--port", std::to_string(FreeLoopbackPort()), script}, {});
    EXPECT_TRUE(WaitOutput("it starts again in 30 s (Ctrl+C to stop)"));
    EXPECT_TRUE(WaitFor([&] { return Lines(starts) == 3; }, 45000)) << Lines(starts);
    ::kill(FPid, SIGTERM);
    EXPECT_EQ(WaitExit(), 0);
  }
}

TEST_F(RunProgramTest, WatchModeRestartsOncePerSaveAndNotForNodeModules) {
  const std::string starts = FDir / "starts.log";
  Write("proj/package.json", "{\"name\": \"proj\"}\n");
  Write("proj/node_modules/dep/index.js", "module.exports = 1;\n");
  Write("proj/.git/HEAD", "ref\n");
  const std::string script = Write("proj/main.js",
                                   "require('fs').appendFileSync('" + starts + "', 'start\\n');\nprocess.exit(0);\n");
  Start({"--headless", "--no-break", "--watch", "--port", std::to_string(FreeLoopbackPort()), script}, {});
  ASSERT_TRUE(WaitOutput("waiting for a change"));
  ASSERT_EQ(Lines(starts), 1);
  // Left out: node_modules and dot folders; nothing starts.
  Write("proj/node_modules/dep/index.js", "module.exports = 2;\n");
  Write("proj/.git/HEAD", "ref 2\n");
  // A save of a project file (written in pieces, as editors do) restarts once.
  {
    std::ofstream out(FDir / "proj/lib.js");
    out << "// part 1\n" << std::flush;
    out << "// part 2\n" << std::flush;
  }
  ASSERT_TRUE(WaitOutput("lib.js changed; restarting"));
  EXPECT_TRUE(WaitFor([&] { return Lines(starts) == 2; }, 20000));
  WaitFor([] { return false; }, 1500);  // a second restart would come within this
  EXPECT_EQ(Lines(starts), 2);
  const std::string out = Output();
  EXPECT_EQ(out.find("node_modules"), std::string::npos) << out;
  EXPECT_EQ(out.find(".git"), std::string::npos) << out;
  ::kill(FPid, SIGTERM);
  EXPECT_EQ(WaitExit(), 0);
}

TEST_F(RunProgramTest, ABusyDefaultPortLeadsToAnotherPortSaidAloud) {
  // Holds 5678 (or finds it held by someone else already: busy either way).
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(5678);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) ::listen(fd, 1);
  const std::string script = Write("wait.js", "setInterval(() => {}, 1000);\n");
  Start({"--headless", script}, {});
  ASSERT_TRUE(WaitOutput("DevTools: devtools://"));
  const std::string out = Output();
  const std::string said = "tarnwick: the inspector port 5678 is in use by another program; using port ";
  const size_t note = out.find(said);
  ASSERT_NE(note, std::string::npos) << out;
  const size_t at = note + said.size();
  const std::string port = out.substr(at, out.find(' ', at) - at);
  EXPECT_NE(out.find("ws=127.0.0.1:" + port + "/"), std::string::npos) << port;
  ::kill(FPid, SIGTERM);
  EXPECT_EQ(WaitExit(), 0);
  ::close(fd);
}

}  // namespace
}  // namespace vexor
