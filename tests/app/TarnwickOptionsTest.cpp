#include <gtest/gtest.h>

#include <fstream>

#include "app/TarnwickOptions.h"
#include "common/TempDir.h"

namespace vexor {
namespace {

TEST(TarnwickOptions, ParsesTheDocumentedOptions) {
  struct Case {
    std::vector<std::string> Args;
    std::string Script;
    bool Headless, Break;
    uint16_t Port;
    int32_t Watchdog;
    std::string Node;
    bool Log;
  } cases[] = {
      {{"a.js"}, "a.js", false, true, 5678, 0, "node", false},
      {{"--headless", "--no-break", "--port", "9229", "a.js"}, "a.js", true, false, 9229, 0, "node", false},
      {{"--port=0", "--watchdog", "5000", "--node", "/opt/node/bin/node", "-T", "/abs/a b.js"},
       "/abs/a b.js",
       false,
       true,
       0,
       5000,
       "/opt/node/bin/node",
       true},
      {{"/t", "./--weird-name.js"}, "./--weird-name.js", false, true, 5678, 0, "node", true},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"tarnwick"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    auto r = ParseTarnwickOptions(args);
    ASSERT_TRUE(r.Options) << r.Error;
    const auto& o = *r.Options;
    EXPECT_EQ(o.Script, c.Script);
    EXPECT_EQ(o.Headless, c.Headless);
    EXPECT_EQ(o.BreakOnLoad, c.Break);
    EXPECT_EQ(o.Port, c.Port);
    EXPECT_EQ(o.WatchdogMs, c.Watchdog);
    EXPECT_EQ(o.Node, c.Node);
    EXPECT_EQ(o.LogToFile, c.Log);
  }
}

TEST(TarnwickOptions, EverythingAfterTheScriptOrAfterDashDashIsTheRunsOwn) {
  struct Case {
    std::vector<std::string> Args;
    std::string Script;
    std::vector<std::string> Arguments, Program;
  } cases[] = {
      {{"app.js", "alice", "--port", "1", "-t", "--", "x"}, "app.js", {"alice", "--port", "1", "-t", "--", "x"}, {}},
      {{"--no-break", "/abs/app.js", "two words"}, "/abs/app.js", {"two words"}, {}},
      {{"--", "npm", "run", "dev", "--", "--port", "3"}, "", {}, {"npm", "run", "dev", "--", "--port", "3"}},
      {{"--headless", "--", "node", "--test"}, "", {}, {"node", "--test"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"tarnwick"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    auto r = ParseTarnwickOptions(args);
    ASSERT_TRUE(r.Options) << r.Error;
    EXPECT_EQ(r.Options->Script, c.Script);
    EXPECT_EQ(r.Options->Arguments, c.Arguments);
    EXPECT_EQ(r.Options->Program, c.Program);
    EXPECT_FALSE(r.Options->LogToFile) << "a -t after the script is the script's";
  }
  auto r = ParseTarnwickOptions({"tarnwick", "--cwd", "/w", "--node-option=--import=tsx", "--node-option",
                                 "--enable-source-maps", "--env", "A=1", "--env=B=x=y", "--env-file", ".env", "--watch",
                                 "--no-restart", "--port", "5678", "s.ts"});
  ASSERT_TRUE(r.Options) << r.Error;
  const TTarnwickOptions& o = *r.Options;
  EXPECT_EQ(o.WorkingFolder, "/w");
  EXPECT_EQ(o.NodeOptions, (std::vector<std::string>{"--import=tsx", "--enable-source-maps"}));
  EXPECT_EQ(o.Environment, (std::vector<std::string>{"A=1", "B=x=y"}));
  EXPECT_EQ(o.EnvFile, ".env");
  EXPECT_TRUE(o.Watch);
  EXPECT_FALSE(o.Restart);
  EXPECT_TRUE(o.PortGiven) << "a named port, even the default one, is kept when taken";
  EXPECT_FALSE(ParseTarnwickOptions({"tarnwick", "s.js"}).Options->PortGiven);
}

TEST(TarnwickOptions, RejectsBadCommandLinesWithAReason) {
  struct Case {
    std::vector<std::string> Args;
    std::string Error;
  } cases[] = {
      {{"--"}, "-- needs a program to run"},
      {{"--env", "NOEQUALS", "a.js"}, "--env: 'NOEQUALS' is not NAME=VALUE"},
      {{"--env", "A B=1", "a.js"},
       "--env: 'A B' is not a variable name (letters, digits and _, not starting with a digit)"},
      {{"--node-option=", "a.js"}, "--node-option: the option is empty"},
      {{"--cwd"}, "--cwd needs a value"},
      {{"--port", "70000", "a.js"}, "--port: '70000' is not a port number (0-65535)"},
      {{"--port", "12ab", "a.js"}, "--port: '12ab' is not a port number (0-65535)"},
      {{"--port"}, "--port needs a value"},
      {{"--watchdog=-5", "a.js"}, "--watchdog: '-5' is not a number of milliseconds"},
      {{"--node=", "a.js"}, "--node: the program name is empty"},
      {{"--frobnicate", "a.js"}, "unknown option '--frobnicate'"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"tarnwick"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    auto r = ParseTarnwickOptions(args);
    EXPECT_FALSE(r.Options);
    EXPECT_EQ(r.Error, c.Error);
  }
  auto help = ParseTarnwickOptions({"tarnwick", "--help"});
  ASSERT_TRUE(help.Options);
  EXPECT_TRUE(help.Options->Help);
}

TEST(TarnwickOptions, ValidatesTheScriptFile) {
  testing::TTempDir dir;
  std::ofstream(dir / "ok.js") << "1";
  EXPECT_EQ(ValidateScript(dir / "ok.js"), "");
  EXPECT_EQ(ValidateScript(dir / "missing.js"),
            "cannot open script '" + (dir / "missing.js") + "': No such file or directory");
  EXPECT_EQ(ValidateScript(dir.Path()), "'" + dir.Path() + "' is a folder, not a script");
  // The window takes no script at all; only a headless run needs one.
  auto none = ParseTarnwickOptions({"tarnwick"});
  ASSERT_TRUE(none.Options);
  EXPECT_EQ(ValidateScript(none.Options->Script), "no script given");
}

TEST(TarnwickOptions, AWindowNeedsADisplayOrAChosenQtPlatform) {
  struct Case {
    const char *Display, *Wayland, *Platform;
    bool Window;
  } cases[] = {
      {nullptr, nullptr, nullptr, false},    {"", "", "", false},
      {":0", nullptr, nullptr, true},        {nullptr, "wayland-0", nullptr, true},
      {nullptr, nullptr, "offscreen", true},
  };
  for (const auto& c : cases) EXPECT_EQ(DisplayAvailable(c.Display, c.Wayland, c.Platform), c.Window);
}

}  // namespace
}  // namespace vexor
