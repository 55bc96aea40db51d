// Runtime start-up against a recording runtime: file layout, cache folder, switches from the
// registry store, the IDE name check and the order of the steps.
#include <gtest/gtest.h>

#include <fstream>

#include "browser/core/CefRuntimeStartup.h"
#include "platform/Registry.h"
#include "common/TempDir.h"

namespace vexor {
namespace {

using testing::TScopedEnv;
using testing::TTempDir;

class TRecordingRuntime : public ICefRuntime {
 public:
  bool Initialize(const TCefSettings& ASettings, const TOnBeforeCommandLineProcessing& ASwitches) override {
    Calls.push_back("initialize");
    Settings = ASettings;
    TCefCommandLine line;
    ASwitches(line);
    Switches = line.AsArguments();
    return !IsSubProcess;
  }
  void RegisterSchemeHandlerFactory(const std::string& AScheme, const std::string& ADomain) override {
    Calls.push_back("scheme " + AScheme + "|" + ADomain);
  }
  void EnableHighDpiSupport() override { Calls.push_back("highdpi"); }
  void DoMessageLoopWork() override {}
  void Shutdown() override { Calls.push_back("shutdown"); }

  bool IsSubProcess = false;
  std::vector<std::string> Calls;
  TCefSettings Settings;
  std::vector<std::string> Switches;
};

void Touch(const std::string& APath) { std::ofstream(APath) << "x"; }

const std::vector<std::string> kBuiltIn = {"--enable-experimental-web-platform-features",
                                           "--disable-pinch",
                                           "--enable-overlay-scrollbar",
                                           "--ipc-connection-timeout=60",
                                           "--disable-spell-checking=1",
                                           "--device-scale-factor=1",
                                           "--enable-aggressive-domstorage-flushing=1"};

class CefRuntimeStartup : public ::testing::Test {
 protected:
  void SetUp() override {
    FEnv.ExeDir = FExe.Path() + "/";
    FEnv.ExeName = "tarnwick";
    FEnv.LocalAppData = FHome / "cache";
  }
  void TearDown() override { TCefRuntimeStartup::Shutdown(); }
  void SetParameters(TRegistryHive AHive, const std::string& AText) {
    TRegistry reg(AHive);
    ASSERT_TRUE(reg.OpenKey(TCefRuntimeStartup::kRegistryKey, true));
    reg.WriteString(TCefRuntimeStartup::kRegistryValue, AText);
  }

  TTempDir FExe, FHome;
  TScopedEnv FUser{"XDG_CONFIG_HOME", FHome / "user"};
  TScopedEnv FMachine{"XDG_CONFIG_DIRS", FHome / "machine"};
  TCefStartupEnvironment FEnv;
};

TEST_F(CefRuntimeStartup, RuntimeLayoutDecidesTheHelperAndResourcePaths) {
  const std::string exe = FEnv.ExeDir;
  // No "CEF" folder: the helper beside the executable, when it exists.
  EXPECT_EQ(TCefRuntimeStartup::BuildSettings(FEnv).browser_subprocess_path, "");
  Touch(exe + "VexorCEFHelper");
  TCefSettings plain = TCefRuntimeStartup::BuildSettings(FEnv);
  EXPECT_EQ(plain.browser_subprocess_path, exe + "VexorCEFHelper");
  EXPECT_EQ(plain.resources_dir_path, "");
  // A "CEF" folder without the runtime library does not count.
  ASSERT_TRUE(std::filesystem::create_directory(exe + "CEF"));
  EXPECT_EQ(TCefRuntimeStartup::BuildSettings(FEnv).browser_subprocess_path, exe + "VexorCEFHelper");
  // With the library the helper must be inside it: the one beside the executable is not used.
  Touch(exe + "CEF/" + TCefRuntimeStartup::kRuntimeLibrary);
  TCefSettings preferred = TCefRuntimeStartup::BuildSettings(FEnv);
  EXPECT_EQ(preferred.browser_subprocess_path, "");
  EXPECT_EQ(preferred.resources_dir_path, exe + "CEF");
  EXPECT_EQ(preferred.locales_dir_path, exe + "CEF/locales");
  Touch(exe + "CEF/VexorCEFHelper");
  EXPECT_EQ(TCefRuntimeStartup::BuildSettings(FEnv).browser_subprocess_path, exe + "CEF/VexorCEFHelper");

  EXPECT_FALSE(preferred.single_process);
  EXPECT_TRUE(preferred.no_sandbox);
  EXPECT_EQ(preferred.log_severity, LOGSEVERITY_DISABLE);
  EXPECT_EQ(preferred.remote_debugging_port, 0);
}

TEST_F(CefRuntimeStartup, CacheFolderFallsBackToTheExecutableFolder) {
  EXPECT_EQ(TCefRuntimeStartup::BrowserCacheDir(FEnv), FHome / "cache/Vexor/Cef/Data/");
  EXPECT_TRUE(std::filesystem::is_directory(FHome / "cache"));
  TCefStartupEnvironment none = FEnv;
  none.LocalAppData.clear();
  EXPECT_EQ(TCefRuntimeStartup::BuildSettings(none).cache_path, FEnv.ExeDir);
  Touch(FHome / "file");
  none.LocalAppData = FHome / "file/cache";  // cannot be created
  EXPECT_EQ(TCefRuntimeStartup::BrowserCacheDir(none), FEnv.ExeDir);
}

TEST_F(CefRuntimeStartup, RegistryItemsFollowTheBuiltInSwitches) {
  struct TCase {
    const char* Text;
    std::vector<std::string> Extra;
  } cases[] = {
      {"a;b=1;c=2=3", {"--a", "--b=1", "--c=2"}},
      {"", {}},
      {";x=;;js-flags=--expose-gc;", {"--x=", "--js-flags=--expose-gc"}},
      {"=v;remote-debugging-port=9222;remote-debugging-pipe;lang=de", {"--lang=de"}},
      // Joined with blanks, a blank in a value would start a switch of its own.
      {"x=a --remote-debugging-port=9222;lang=de", {"--lang=de"}},
      {"renderer-cmd-prefix=gdb;gpu-launcher=x;browser-subprocess-path=/x;a", {"--a"}},
      {"Bad Name;--a;a b;ok_1-2", {"--ok_1-2"}},
  };
  for (const TCase& c : cases) {
    TCefCommandLine line;
    TCefRuntimeStartup::OnBeforeCommandLineProcessing(line, c.Text);
    std::vector<std::string> expected = kBuiltIn;
    expected.insert(expected.end(), c.Extra.begin(), c.Extra.end());
    EXPECT_EQ(line.AsArguments(), expected) << c.Text;
  }
}

TEST_F(CefRuntimeStartup, InheritedChromiumFlagsKeepOnlyHarmlessSwitches) {
  const std::vector<std::string> expected{"--disable-gpu", "--js-flags=--expose-gc"};
  EXPECT_EQ(TCefRuntimeStartup::SafeEnvironmentFlags(
                "  --disable-gpu --remote-debugging-port=9222 http://example.com --renderer-cmd-prefix=x "
                "--remote-debugging-pipe -- --js-flags=--expose-gc --Upper"),
            expected);
}

TEST_F(CefRuntimeStartup, MachineValueHidesTheUserValue) {
  EXPECT_EQ(TCefRuntimeStartup::ReadCefParameters(), "");
  SetParameters(TRegistryHive::rhCurrentUser, "user-switch");
  EXPECT_EQ(TCefRuntimeStartup::ReadCefParameters(), "user-switch");
  SetParameters(TRegistryHive::rhLocalMachine, "");
  EXPECT_EQ(TCefRuntimeStartup::ReadCefParameters(), "user-switch") << "an empty machine value gives no text";
  SetParameters(TRegistryHive::rhLocalMachine, "machine-switch=1");
  EXPECT_EQ(TCefRuntimeStartup::ReadCefParameters(), "machine-switch=1");
}

TEST_F(CefRuntimeStartup, StartInitialisesThenRegistersBothSchemesAndPublishesTheLocale) {
  SetParameters(TRegistryHive::rhCurrentUser, "a;b=1;c=2=3");
  FEnv.UiLanguage = "de";
  TRecordingRuntime runtime;
  ASSERT_TRUE(TCefRuntimeStartup::Start(runtime, FEnv));
  EXPECT_EQ(runtime.Calls, (std::vector<std::string>{"initialize", "scheme ctrl-data|", "scheme img|", "highdpi"}));
  EXPECT_EQ(runtime.Settings.locale, "de");
  EXPECT_EQ(runtime.Settings.cache_path, FHome / "cache/Vexor/Cef/Data/");
  std::vector<std::string> expected = kBuiltIn;
  expected.insert(expected.end(), {"--a", "--b=1", "--c=2"});
  EXPECT_EQ(runtime.Switches, expected);
  EXPECT_EQ(TCefRuntimeStartup::RuntimeLocale(), "de");
  EXPECT_FALSE(TCefRuntimeStartup::IsLegacyWindows());

  EXPECT_TRUE(TCefRuntimeStartup::Start(runtime, FEnv)) << "a second start is done at once";
  EXPECT_EQ(runtime.Calls.size(), 4u);
  TCefRuntimeStartup::Shutdown();
  TCefRuntimeStartup::Shutdown();
  EXPECT_EQ(runtime.Calls.back(), "shutdown");
  EXPECT_EQ(runtime.Calls.size(), 5u);
}

TEST_F(CefRuntimeStartup, IdeExecutableAndSubProcessStartNothing) {
  for (const char* name : {"bds", "BDS.EXE", "Bds.exe"}) {
    TRecordingRuntime runtime;
    FEnv.ExeName = name;
    EXPECT_FALSE(TCefRuntimeStartup::Start(runtime, FEnv)) << name;
    EXPECT_TRUE(runtime.Calls.empty()) << name;
  }
  EXPECT_FALSE(TCefRuntimeStartup::IsIdeExecutable("bdsx"));
  FEnv.ExeName = "tarnwick";
  TRecordingRuntime sub;
  sub.IsSubProcess = true;
  EXPECT_FALSE(TCefRuntimeStartup::Start(sub, FEnv));
  EXPECT_EQ(sub.Calls, std::vector<std::string>{"initialize"});
  EXPECT_FALSE(TCefRuntimeStartup::Initialized());
}

}  // namespace
}  // namespace vexor
