#include "platform/codepage.h"

#include <gtest/gtest.h>

namespace qx {
namespace {

TEST(Codepage, RoundTripsEveryDefinedByte) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  std::string utf8 = Cp1252ToUtf8(all);
  EXPECT_EQ(Utf8ToCp1252(utf8), all);
  EXPECT_TRUE(IsCp1252Representable(utf8));
}

TEST(Codepage, MapsTheWindowsSpecificRange) {
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "\u20AC");
  EXPECT_EQ(Cp1252ToUtf8("\xD6lz"), "Ölz");
  EXPECT_EQ(Utf8ToCp1252("Ölz €"), "\xD6lz \x80");
}

TEST(Codepage, ReplacesWhatHasNoForm) {
  EXPECT_EQ(Utf8ToCp1252("a\u4E2Db"), "a?b");
  EXPECT_EQ(Utf8ToCp1252("a\xC3"), "a?");          // cut sequence
  EXPECT_EQ(Utf8ToCp1252("\xED\xA0\x80"), "???");  // encoded surrogate
  EXPECT_FALSE(IsCp1252Representable("\u4E2D"));
}

TEST(Codepage, TruncatesAtACharacterBoundary) {
  std::string text = std::string(126, 'a') + "ü";  // ü is two bytes, 126..127
  EXPECT_EQ(TruncateUtf8(text, 127), std::string(126, 'a'));
  EXPECT_EQ(TruncateUtf8(text, 128), text);
  EXPECT_EQ(TruncateUtf8("€€", 5), "€");
  EXPECT_EQ(TruncateUtf8("abc", 0), "");
}

}  // namespace
}  // namespace qx
