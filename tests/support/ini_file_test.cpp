#include "support/ini_file.h"

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace qx {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(IniFile, ReadsLikeTheProfileFunctions) {
  TempDir t;
  WriteFile(t / "a.ini",
            "; comment\r\n[Globals]\r\nWorkDir = /w \r\nquoted=\"x y\"\r\nempty=\r\nn=7abc\r\n"
            "[other]\r\nworkdir=no\r\n");
  IniFile ini(t / "a.ini");
  EXPECT_EQ(ini.ReadString("globals", "workdir"), "/w");
  EXPECT_EQ(ini.ReadString("globals", "quoted"), "x y");
  EXPECT_EQ(ini.ReadString("globals", "empty"), "");
  EXPECT_EQ(ini.ReadString("globals", "missing"), std::nullopt);
  EXPECT_EQ(ini.ReadString("nosection", "workdir"), std::nullopt);
  EXPECT_EQ(ini.ReadInt("globals", "n", -1), 7);
  EXPECT_EQ(ini.ReadInt("globals", "quoted", -1), -1);
  EXPECT_EQ(ini.ReadInt("globals", "missing", 3), 3);
  EXPECT_EQ(IniFile(t / "none.ini").ReadString("globals", "x"), std::nullopt);
}

TEST(IniFile, WritesKeepWhatTheyDoNotTouch) {
  TempDir t;
  WriteFile(t / "a.ini", "[globals]\nkeep=1\nworkDir=/old\n[vendor]\nx=y\n");
  IniFile ini(t / "a.ini");
  ASSERT_TRUE(ini.WriteString("globals", "WORKDIR", std::string("/new")));
  ASSERT_TRUE(ini.WriteString("globals", "added", std::string("")));
  ASSERT_TRUE(ini.WriteString("vendor", "x", std::nullopt));
  ASSERT_TRUE(ini.WriteString("fresh", "k", std::string("v")));
  EXPECT_EQ(ReadFile(t / "a.ini"),
            "[globals]\nkeep=1\nworkDir=/new\nadded=\n[vendor]\n[fresh]\nk=v\n");
}

TEST(IniFile, ALineBreakInAValueCannotForgeAnotherKey) {
  TempDir t;
  IniFile ini(t / "a.ini");
  ASSERT_TRUE(ini.WriteString("globals", "inputDir", std::string("/x\n[globals]\ndebug=16")));
  EXPECT_EQ(ini.ReadString("globals", "debug"), std::nullopt);
  EXPECT_EQ(ini.ReadString("globals", "inputDir"), "/x [globals] debug=16");
}

TEST(IniFile, AValueReadsBackAsItWasWritten) {
  TempDir t;
  IniFile ini(t / "a.ini");
  for (const std::string value : {"\"/x\"", "\"\"", " a\t", "\t\"", "a \"b\" c"}) {
    ASSERT_TRUE(ini.WriteString("globals", "v", value));
    EXPECT_EQ(IniFile(t / "a.ini").ReadString("globals", "v"), value) << value;
  }
}

}  // namespace
}  // namespace qx
