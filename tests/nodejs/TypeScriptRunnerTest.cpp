// Which runner a TypeScript start script gets, from fake projects in a temporary folder.
#include "nodejs/TypeScriptRunner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/TempDir.h"

using namespace vexor;
namespace fs = std::filesystem;

namespace {

void Touch(const std::string& APath) {
  fs::create_directories(fs::path(APath).parent_path());
  std::ofstream(APath) << "{}";
}

const TNodeVersion kNode20{20, 20, 2};

TEST(TypeScriptRunner, NodeVersionText) {
  EXPECT_EQ(TNodeVersion::Parse("v20.20.2\n").Major, 20);
  EXPECT_EQ(TNodeVersion::Parse("v22.6.0").Minor, 6);
  EXPECT_EQ(TNodeVersion::Parse("v23.0.0-pre").Major, 23);
  for (const char* bad : {"", "20.1.1", "vx.1.2", "v20.1", "v20.1.2x"})
    EXPECT_EQ(TNodeVersion::Parse(bad).Major, 0) << bad;
}

TEST(TypeScriptRunner, TheInstalledNodesVersion) {
  EXPECT_GE(TNodeVersion::Query("node").Major, 18);
  EXPECT_EQ(TNodeVersion::Query("/no/such/node").Major, 0);
}

TEST(TypeScriptRunner, OnlyTypeScriptNeedsOne) {
  for (const char* js : {"/p/a.js", "/p/a.mjs", "/p/a.cjs", "/p/ts", "/p/a.ts.js"}) {
    EXPECT_EQ(TTypeScriptRunner::Choose(js, "/p", kNode20).Kind, TTypeScriptRunnerKind::tsrNone) << js;
  }
}

TEST(TypeScriptRunner, TheProjectsRunnerFirstThenNodesOwnThenAMessage) {
  vexor::testing::TTempDir dir;
  const std::string project = dir / "my project";
  const std::string script = project + "/src/main.ts";
  Touch(script);

  // Nothing installed: node 20 cannot, 22.6 can with a switch, 23.6 by default.
  TTypeScriptRunner r = TTypeScriptRunner::Choose(script, project, kNode20);
  EXPECT_EQ(r.Kind, TTypeScriptRunnerKind::tsrMissing);
  EXPECT_NE(r.Message.find("npm install --save-dev tsx"), std::string::npos) << r.Message;
  r = TTypeScriptRunner::Choose(script, project, {22, 6, 0});
  EXPECT_EQ(r.Kind, TTypeScriptRunnerKind::tsrStripTypes);
  EXPECT_EQ(r.NodeArgs, std::vector<std::string>{"--experimental-strip-types"});
  r = TTypeScriptRunner::Choose(script, project, {23, 6, 0});
  EXPECT_EQ(r.Kind, TTypeScriptRunnerKind::tsrStripTypes);
  EXPECT_TRUE(r.NodeArgs.empty());

  // ts-node in the project (found from the script's folder upwards).
  Touch(project + "/node_modules/ts-node/package.json");
  r = TTypeScriptRunner::Choose(script, "/", {23, 6, 0});
  EXPECT_EQ(r.Kind, TTypeScriptRunnerKind::tsrTsNode);
  EXPECT_EQ(r.NodeArgs, (std::vector<std::string>{"--require", project + "/node_modules/ts-node/register"}));
  r = TTypeScriptRunner::Choose(project + "/src/main.mts", "/", kNode20);
  EXPECT_EQ(r.NodeArgs[0], "--loader");

  // tsx wins over ts-node; its loader is named as a file: URL (the blank escaped), its require
  // hook (where node stops on the script's first line) is preferred for all but ".mts".
  Touch(project + "/node_modules/tsx/package.json");
  Touch(project + "/node_modules/tsx/dist/loader.mjs");
  r = TTypeScriptRunner::Choose(project + "/src/main.cts", "/", kNode20);
  EXPECT_EQ(r.Kind, TTypeScriptRunnerKind::tsrTsx);
  EXPECT_EQ(r.NodeArgs, (std::vector<std::string>{"--import", "file://" + dir.Path() +
                                                                  "/my%20project/node_modules/tsx/dist/loader.mjs"}));
  Touch(project + "/node_modules/tsx/dist/cjs/index.cjs");
  r = TTypeScriptRunner::Choose(script, "/", kNode20);
  EXPECT_EQ(r.NodeArgs, (std::vector<std::string>{"--require", project + "/node_modules/tsx/dist/cjs/index.cjs"}));
  EXPECT_EQ(TTypeScriptRunner::Choose(project + "/src/main.mts", "/", kNode20).NodeArgs[0], "--import");

  // A script outside the project finds the runner through the working folder.
  const std::string loose = dir / "elsewhere/tool.ts";
  Touch(loose);
  EXPECT_EQ(TTypeScriptRunner::Choose(loose, project, kNode20).Kind, TTypeScriptRunnerKind::tsrTsx);
  EXPECT_EQ(TTypeScriptRunner::Choose(loose, dir / "elsewhere", kNode20).Kind, TTypeScriptRunnerKind::tsrMissing);
}

TEST(TypeScriptRunner, TheProjectFolderHoldsThePackageJson) {
  vexor::testing::TTempDir dir;
  Touch(dir / "app/package.json");
  Touch(dir / "app/dist/main.js");
  Touch(dir / "loose/tool.js");
  EXPECT_EQ(NodeProjectFolder(dir / "app/dist/main.js"), dir / "app");
  EXPECT_EQ(NodeProjectFolder(dir / "app/main.js"), dir / "app");
  // No package.json anywhere above (the temporary folder has none): the script's folder.
  if (!fs::exists(fs::path(dir.Path()).parent_path() / "package.json")) {
    EXPECT_EQ(NodeProjectFolder(dir / "loose/tool.js"), dir / "loose");
  }
}

}  // namespace
