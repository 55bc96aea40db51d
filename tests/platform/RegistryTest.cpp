#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/Exceptions.h"
#include "platform/Registry.h"
#include "common/TempDir.h"

namespace vexor {
namespace {

using testing::TScopedEnv;
using testing::TTempDir;

class RegistryTest : public ::testing::Test {
 protected:
  TTempDir FUser, FMachine;
  TScopedEnv FUserEnv{"XDG_CONFIG_HOME", FUser.Path()};
  TScopedEnv FMachineEnv{"XDG_CONFIG_DIRS", FMachine.Path() + ":/etc/xdg"};
};

TEST_F(RegistryTest, KeysAreFoldersUnderTheirHive) {
  EXPECT_EQ(TRegistry::HivePath(TRegistryHive::rhCurrentUser), FUser.Path());
  EXPECT_EQ(TRegistry::HivePath(TRegistryHive::rhLocalMachine), FMachine.Path());
  TRegistry reg;
  EXPECT_FALSE(reg.OpenKeyReadOnly("Software\\Vexor\\Tarnwick\\1.0"));
  EXPECT_FALSE(reg.OpenKey("Software\\Vexor\\Tarnwick\\1.0", false));
  ASSERT_TRUE(reg.OpenKey("Software\\Vexor\\Tarnwick\\1.0\\TMainForm", true));
  EXPECT_TRUE(std::filesystem::is_directory(FUser / "Software/Vexor/Tarnwick/1.0/TMainForm"));
  EXPECT_TRUE(TRegistry(TRegistryHive::rhCurrentUser).KeyExists("Software\\Vexor"));
  EXPECT_FALSE(TRegistry(TRegistryHive::rhLocalMachine).KeyExists("Software\\Vexor"));
  EXPECT_FALSE(reg.OpenKey("Software\\..\\..\\etc", true));  // keys never leave their hive
}

TEST_F(RegistryTest, ValuesSurviveReopeningWithTheirKinds) {
  {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("Software\\Vexor\\Test", true));
    reg.WriteString("Name", "line one\nline=two \\ three");
    reg.WriteInteger("Left", 4294967295u);
    reg.WriteBool("Maximized", true);
    reg.WriteString("Number", "42");
    reg.WriteString("Key=With\\Odd\nName", "x");
  }
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKeyReadOnly("Software\\Vexor\\Test"));
  EXPECT_EQ(reg.ReadString("Name"), "line one\nline=two \\ three");
  EXPECT_EQ(reg.ReadInteger("Left"), 4294967295u);
  EXPECT_EQ(reg.ReadBool("Maximized"), true);
  EXPECT_EQ(reg.ReadInteger("Number"), 42u);
  EXPECT_EQ(reg.ReadString("Key=With\\Odd\nName"), "x");
  EXPECT_EQ(reg.ReadInteger("Name"), std::nullopt);
  EXPECT_FALSE(reg.ValueExists("Missing"));
  EXPECT_THROW(reg.WriteString("Name", "read-only"), Exception);
}

TEST_F(RegistryTest, WriteReplacesTheFileAtomicallyAndSkipsDamagedLines) {
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("K", true));
  reg.WriteInteger("A", 1);
  reg.WriteInteger("A", 2);
  reg.DeleteValue("Nope");
  size_t files = 0;
  for (auto& e : std::filesystem::directory_iterator(FUser / "K")) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);  // no temporary file left behind
  {
    std::ofstream out(FUser / "K/values", std::ios::app);
    out << "garbage line\nB=dword:notanumber\nC=blob:1\nD=sz:ok\n";
  }
  TRegistry again;
  ASSERT_TRUE(again.OpenKeyReadOnly("K"));
  EXPECT_EQ(again.ReadInteger("A"), 2u);
  EXPECT_FALSE(again.ValueExists("B"));
  EXPECT_FALSE(again.ValueExists("C"));
  EXPECT_EQ(again.ReadString("D"), "ok");
}

// A shared folder where someone planted files under the store's names.
TEST_F(RegistryTest, PlantedLinksFifosAndHugeFilesAreNeverFollowedReadOrBlockedOn) {
  namespace fs = std::filesystem;
  const fs::path key = fs::path(FUser.Path()) / "K";
  fs::create_directories(key);
  const fs::path victim = fs::path(FMachine.Path()) / "victim.txt";
  std::ofstream(victim) << "precious\n";
  // The temporary names a writer might use, and the value file itself, as links to the victim.
  for (int i = 0; i < 3; ++i)
    fs::create_symlink(victim, key / ("values.tmp." + std::to_string(::getpid()) + "." + std::to_string(i)));
  fs::create_symlink(victim, key / "values");
  {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKey("K", true));
    EXPECT_FALSE(reg.ValueExists("precious"));
    reg.WriteString("A", "1");
  }
  std::ifstream in(victim);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "precious\n");
  EXPECT_FALSE(fs::is_symlink(key / "values"));
  EXPECT_EQ(fs::status(key / "values").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  {
    TRegistry reg;
    ASSERT_TRUE(reg.OpenKeyReadOnly("K"));
    EXPECT_EQ(reg.ReadString("A"), "1");
  }

  // A FIFO does not block the start; a value file over the cap is not read.
  fs::remove(key / "values");
  ASSERT_EQ(::mkfifo((key / "values").c_str(), 0600), 0);
  {
    TRegistry reg;
    EXPECT_TRUE(reg.OpenKeyReadOnly("K"));
    EXPECT_FALSE(reg.ValueExists("A"));
  }
  fs::remove(key / "values");
  {
    std::ofstream big(key / "values");
    big << "A=sz:big\n" << std::string(TRegistry::kMaxValueFileBytes, '#');
  }
  TRegistry reg;
  EXPECT_TRUE(reg.OpenKeyReadOnly("K"));
  EXPECT_FALSE(reg.ValueExists("A"));
}

TEST_F(RegistryTest, NewFoldersArePrivateAndAnotherUsersFolderIsRefused) {
  namespace fs = std::filesystem;
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("New\\Key", true));
  EXPECT_EQ(fs::status(fs::path(FUser.Path()) / "New").permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(fs::path(FUser.Path()) / "New/Key").permissions() & fs::perms::all, fs::perms::owner_all);
  if (::geteuid() != 0) GTEST_SKIP() << "handing a folder to another user needs root";
  fs::create_directories(fs::path(FUser.Path()) / "Theirs");
  ASSERT_EQ(::chown((fs::path(FUser.Path()) / "Theirs").c_str(), 65534, 65534), 0);
  EXPECT_FALSE(reg.OpenKey("Theirs", true));
  EXPECT_FALSE(reg.OpenKeyReadOnly("Theirs"));
}

}  // namespace
}  // namespace vexor
