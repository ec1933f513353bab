// The settings file: first-run defaults at module load, load at creation, store at release.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/as_nobody.h"
#include "common/component_fixture.h"
#include "support/ini_file.h"

namespace qx::testing {
namespace {

std::string Ini() {
  return ModuleDir() + "/qendix.ini";
}
std::optional<std::string> Key(const char* key) {
  return IniFile(Ini()).ReadString("globals", key);
}

class Settings : public ComponentTest {};

TEST_F(Settings, FirstRunDefaults) {
  WriteCenters();
  auto q = CreateComponent();  // the module's load-time work runs at the first object request
  EXPECT_EQ(Key("trustCenter"), "TC test");
  EXPECT_EQ(Key("withPDF"), "0");
  EXPECT_EQ(Key("archive"), "1");
  EXPECT_EQ(Key("inputDir"), ModuleDir() + "/Rechnungen");
  EXPECT_EQ(Key("workDir"), ModuleDir());
  EXPECT_EQ(Key("asasLogin"), std::nullopt);
  EXPECT_EQ(Key("debug"), std::nullopt);
  EXPECT_EQ(Key("dlog_max"), std::nullopt);
  struct stat st;
  EXPECT_EQ(stat((ModuleDir() + "/Rechnungen").c_str(), &st), 0);
  BStr v;
  q->get_trustCenter(&v);
  EXPECT_EQ(v, "TC test");
  VariantBool b = 0;
  q->get_withArchive(&b);
  EXPECT_EQ(b, VARIANT_TRUE);

  q.Reset();  // release stores
  EXPECT_EQ(Key("archive"), "2");
  EXPECT_EQ(Key("withPDF"), "0");
  EXPECT_EQ(Key("debug"), "0");
  EXPECT_EQ(Key("asasLogin"), "");
  EXPECT_EQ(Key("trustCenter"), "TC test");
}

TEST_F(Settings, StoredAsBitValuesAndKeepsForeignKeys) {
  WriteCenters();
  WriteFile(Ini(),
            "[globals]\ntrustCenter=TC test\narchive=7\ndebug=1\nwithPDF=0\n"
            "inputDir=/in\nworkDir=/w\ndlog_max=6\n[vendor]\nx=y\n");
  auto q = CreateComponent();
  VariantBool b = 0;
  q->get_withArchive(&b);
  EXPECT_EQ(b, VARIANT_TRUE);
  q->get_debug(&b);
  EXPECT_EQ(b, VARIANT_TRUE);
  q->put_withPDF(VARIANT_TRUE);
  q->put_workDirectory(std::string(""));
  q.Reset();
  EXPECT_EQ(Key("archive"), "2");
  EXPECT_EQ(Key("debug"), "16");
  EXPECT_EQ(Key("withPDF"), "1");
  EXPECT_EQ(Key("workDir"), "");  // present and empty
  EXPECT_EQ(Key("dlog_max"), "6");
  EXPECT_EQ(IniFile(Ini()).ReadString("vendor", "x"), "y");
}

TEST_F(Settings, WithoutADirectoryTheLabelAndTheOptionsSurvive) {
  // No directory cache: the label cannot be looked up, but it stays the user's choice.
  WriteFile(Ini(), "[globals]\ntrustCenter=TC two\nwithPDF=1\narchive=0\n");
  auto q = CreateComponent();
  BStr v;
  q->get_trustCenter(&v);
  EXPECT_EQ(v, "TC two");
  q.Reset();
  EXPECT_EQ(Key("trustCenter"), "TC two");
  EXPECT_EQ(Key("withPDF"), "1");
  EXPECT_EQ(Key("archive"), "0");
}

TEST_F(Settings, FirstRunDefaultsOnlyFillMissingKeys) {
  WriteFile(Ini(), "[globals]\nwithPDF=1\narchive=0\nworkDir=/w\n");  // the label was lost
  auto q = CreateComponent();
  EXPECT_EQ(Key("trustCenter"), "TC test");
  EXPECT_EQ(Key("withPDF"), "1");
  EXPECT_EQ(Key("archive"), "0");
  EXPECT_EQ(Key("workDir"), "/w");
}

// A settings file that exists but cannot be read is never replaced, neither by the first-run
// defaults nor by the release of a component that worked with defaults meanwhile.
TEST_F(Settings, AnUnreadableFileIsNeverWritten) {
  if (!CanBecomeNobody()) GTEST_SKIP() << "needs root to run as another user";
  const std::string keys = "[globals]\ntrustCenter=TC two\nworkDir=/w\nwithPDF=1\n";
  struct Case {
    const char* what;
    std::string content;
    mode_t mode;
  } cases[] = {
      {"larger than 1 MB", keys + ";" + std::string(2 << 20, 'x') + "\n", 0644},
      {"not readable by the user", keys, 0600},
  };
  chmod(ModuleDir().c_str(), 0777);  // the user could replace the file
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteFile(Ini(), c.content));
    chmod(Ini().c_str(), c.mode);
    int status = RunAsNobody([] {
      auto q = CreateComponent();
      BStr work;
      if (!q || q->get_workDirectory(&work) != S_OK || work != "") return 1;  // defaults
      q->put_withPDF(VARIANT_FALSE);
      q->put_workDirectory(std::string("/elsewhere"));
      q.Reset();  // the release stores
      return 0;
    });
    EXPECT_EQ(status, 0) << c.what;
    EXPECT_EQ(ReadFile(Ini()), c.content) << c.what;
  }
}

TEST_F(Settings, LongValuesAreCutTo511Bytes) {
  WriteFile(Ini(), "[globals]\ntrustCenter=TC test\ninputDir=" + std::string(600, 'i') + "\n");
  auto q = CreateComponent();
  BStr v;
  q->get_inputDirectory(&v);
  EXPECT_EQ(v->size(), 511u);
}

}  // namespace
}  // namespace qx::testing
