#include "support/messages.h"

#include <stdlib.h>

#include <gtest/gtest.h>

namespace qx {
namespace {

class Language : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* n : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(n);
  }
};

TEST_F(Language, FrenchForEveryFrenchVariantGermanOtherwise) {
  setenv("LANG", "fr_CH.UTF-8", 1);
  EXPECT_EQ(LoadMessage(1104), "Aucun fichier trouvé");
  setenv("LANG", "fr_CA", 1);
  EXPECT_EQ(LoadMessage(1040), "Lire");
  setenv("LANG", "it_CH.UTF-8", 1);
  EXPECT_EQ(LoadMessage(1104), "Keine Datei gefunden");
  unsetenv("LANG");
  EXPECT_EQ(LoadMessage(1104), "Keine Datei gefunden");
}

TEST_F(Language, PrecedenceOfTheVariables) {
  setenv("LANG", "fr_FR.UTF-8", 1);
  setenv("LC_ALL", "de_CH.UTF-8", 1);
  EXPECT_EQ(LoadMessage(1040), "Einlesen");
  setenv("LANGUAGE", "fr_CH:de", 1);
  EXPECT_EQ(LoadMessage(1040), "Lire");
  setenv("LANGUAGE", "", 1);  // empty counts as unset
  EXPECT_EQ(LoadMessage(1040), "Einlesen");
}

TEST_F(Language, EveryGermanTextHasAFrenchOne) {
  for (uint16_t id :
       {100,  101,  200,  1000, 1001, 1002, 1003, 1004, 1005, 1010, 1020, 1021, 1022, 1023, 1030,
        1031, 1032, 1033, 1040, 1050, 1051, 1052, 1053, 1054, 1055, 1056, 1057, 1100, 1101, 1102,
        1103, 1104, 1105, 1106, 1107, 1108, 1109, 1114, 1118, 1120, 1121, 1122, 1123, 1124, 1125}) {
    unsetenv("LANG");
    EXPECT_FALSE(LoadMessage(id).empty()) << id;
    setenv("LANG", "fr", 1);
    EXPECT_FALSE(LoadMessage(id).empty()) << id;
  }
  EXPECT_EQ(LoadMessage(1999), "");
}

TEST_F(Language, FormattedTextsAreCutAtACharacterBoundary) {
  std::string name(118, 'x');
  // "%s gestartet" with 118 + 10 bytes would be 128: cut to 127.
  EXPECT_EQ(FormatEventText(LoadMessage(1100), name).size(), 127u);
  std::string umlauts;
  for (int i = 0; i < 70; ++i) umlauts += "ü";
  std::string out = FormatEventText("%s", umlauts);
  EXPECT_EQ(out.size(), 126u);  // 63 two-byte characters; the 64th would split
  EXPECT_EQ(FormatEventText(LoadMessage(1101), "Einlesen", 3, 1),
            "Einlesen abgeschlossen: 3 kopiert, 1 fehlerhafte Rechnungsdateien");
}

}  // namespace
}  // namespace qx
