#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vexor
