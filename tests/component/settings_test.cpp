// The settings file: first-run defaults at module load, load at creation, store at release.
#include <sys/stat.h>

#include <gtest/gtest.h>

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

TEST_F(Settings, UnsetTrustCenterRemovesTheKey) {
  // No directory cache: the setter refuses, trustCenter stays null, the release removes it.
  auto q = CreateComponent();
  BStr v = std::string("x");
  q->get_trustCenter(&v);
  EXPECT_EQ(v, std::nullopt);
  q.Reset();
  EXPECT_EQ(Key("trustCenter"), std::nullopt);
  EXPECT_EQ(Key("archive"), "2");
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
