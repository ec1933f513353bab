// Encodings of the security client: base64, the store's field encoding, Windows-1252 headers and
// the rules for names.
#include <gtest/gtest.h>

#include "base64.h"
#include "text.h"

namespace asas {
namespace {

TEST(Base64, EncodesWithAndWithoutLineBreaks) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  std::string data(100, '\xA5');
  std::string lines = Base64Encode(data, 64);
  // 100 bytes give 136 characters: lines of 64, 64 and 8, each ending in LF.
  EXPECT_EQ(lines.size(), 136u + 3);
  EXPECT_EQ(lines[64], '\n');
  EXPECT_EQ(lines[129], '\n');
  EXPECT_EQ(lines.back(), '\n');
  EXPECT_EQ(Base64Encode(std::string(48, 'x'), 64).size(), 65u);  // exactly one full line
}

TEST(Base64, DecodesWhatItEncodesAndRefusesGarbage) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(char(i));
  for (size_t length : {0, 1, 2, 3, 255, 256}) {
    std::string data = all.substr(0, length);
    EXPECT_EQ(Base64Decode(Base64Encode(data, 64)), data) << length;
    EXPECT_EQ(Base64Decode(Base64Encode(data)), data) << length;
  }
  EXPECT_EQ(Base64Decode("Zm9v\r\nYmFy"), "foobar");
  EXPECT_FALSE(Base64Decode("Zm9"));     // incomplete group
  EXPECT_FALSE(Base64Decode("Zg==Zg"));  // data after padding
  EXPECT_FALSE(Base64Decode("Z==="));    // too much padding
  EXPECT_FALSE(Base64Decode("Zm9v!"));   // not of the alphabet
}

TEST(PercentEncoding, RoundTripsEveryByteAndKeepsLinesParseable) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(char(i));
  std::string encoded = PercentEncode(all);
  EXPECT_EQ(encoded.find_first_of(" =[]#\r\n\t"), std::string::npos);
  EXPECT_EQ(PercentDecode(encoded), all);
  EXPECT_EQ(PercentEncode("tc1_cert"), "tc1_cert");
  EXPECT_FALSE(PercentDecode("%4"));
  EXPECT_FALSE(PercentDecode("%zz"));
}

TEST(HeaderText, ReadsWindows1252WhenNotUtf8) {
  EXPECT_EQ(HeaderTextToUtf8("z\xC3\xBCrich"), "z\xC3\xBCrich");  // UTF-8 stays
  EXPECT_EQ(HeaderTextToUtf8("z\xFCrich"), "z\xC3\xBCrich");      // 1252 u-umlaut
  EXPECT_EQ(Windows1252ToUtf8("\x80"), "\xE2\x82\xAC");           // euro sign
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));                          // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));                      // surrogate
}

TEST(Names, AllowOnlySafeSingleWords) {
  EXPECT_TRUE(IsValidName("tc1"));
  EXPECT_TRUE(IsValidName("trustcenter@example.org"));
  EXPECT_TRUE(IsValidName("z\xC3\xBCrich"));
  for (const char* bad : {"", ".hidden", "..", "a/b", "a\\b", "a b", "a,b", "a\tb", "a\nb"})
    EXPECT_FALSE(IsValidName(bad)) << bad;
  EXPECT_FALSE(IsValidName("z\xFCrich"));  // not UTF-8
  EXPECT_FALSE(IsValidName("x\xC2\x85"));  // C1 control
  EXPECT_FALSE(IsValidName(std::string(129, 'a')));
}

}  // namespace
}  // namespace asas
