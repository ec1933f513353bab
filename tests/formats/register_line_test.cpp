#include "formats/register_line.h"

#include <string>

#include <gtest/gtest.h>

namespace qx {
namespace {

SentEntry Entry(std::string zsr, std::string amount, int64_t sentAt) {
  return SentEntry{std::move(zsr), std::move(amount), sentAt};
}

TEST(RegisterLineTest, WritesOrdinaryEntriesAsFourFields) {
  EXPECT_EQ(FormatRegisterLine("2005-0042", Entry("Z123456", "125.50", 1700000000)),
            "2005-0042|125.50|1700000000|Z123456");
  // Blanks, "%" and non-ASCII text need no escaping.
  EXPECT_EQ(FormatRegisterLine(" 50% M\xC3\xBC", Entry("Z 1", "-5.00", 0)),
            " 50% M\xC3\xBC|-5.00|0|Z 1");
}

TEST(RegisterLineTest, ReadsOrdinaryLinesBySeparators) {
  auto line = ParseRegisterLine("2005-0042|125.50|1700000000|Z123456\r");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->invoiceId, "2005-0042");
  EXPECT_EQ(line->entry, Entry("Z123456", "125.50", 1700000000));
  // Empty pieces are passed over; fields after the fourth are ignored.
  line = ParseRegisterLine("A||1.00|||17|Z|extra");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->invoiceId, "A");
  EXPECT_EQ(line->entry, Entry("Z", "1.00", 17));
}

TEST(RegisterLineTest, ReadsTheTimeLikeAnUnsignedDecimal) {
  auto line = ParseRegisterLine("A|1|  +42xyz|Z");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->entry.sentAt, 42);
  EXPECT_FALSE(ParseRegisterLine("A|1|-42|Z"));
  EXPECT_FALSE(ParseRegisterLine("A|1|x42|Z"));
  EXPECT_FALSE(ParseRegisterLine("A|1|99999999999999999999|Z"));
}

TEST(RegisterLineTest, SkipsLinesWithoutFourFields) {
  for (const char* text : {"", "\r", "A|1|2", "A|1|2|", "|1|2|Z", "A||2|Z"})
    EXPECT_FALSE(ParseRegisterLine(text)) << text;
}

TEST(RegisterLineTest, CutsZsrAndAmountToTheirLimits) {
  auto line = ParseRegisterLine("A|123456789012345678901234567|5|Z1234567890");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->entry.zsr, "Z123456");
  EXPECT_EQ(line->entry.amount, "12345678901234567890123");
}

TEST(RegisterLineTest, CutsAtCharacterBoundaries) {
  EXPECT_EQ(CutCharacters("\xC3\xA4\xC3\xB6\xC3\xBC", 2), "\xC3\xA4\xC3\xB6");
  EXPECT_EQ(CutCharacters("abc", 7), "abc");
  EXPECT_EQ(CutCharacters("abcdefgh", 7), "abcdefg");
  EXPECT_EQ(CutCharacters("", 7), "");
}

TEST(RegisterLineTest, ValuesAnOrdinaryLineCannotHoldRoundTrip) {
  const struct {
    std::string id, zsr, amount;
  } cases[] = {
      {"A|B", "Z1", "1.00"},      {"A\r\nB", "Z1", "1.00"},
      {"A", "", "1.00"},          {"A", "Z1", ""},
      {"", "Z1", "1.00"},         {"%7C|", "%", "1|2"},
      {"|a|1|2|Z", "Z|\n", "\r"}, {"%", "%25", "|"},
  };
  for (const auto& c : cases) {
    SentEntry entry = Entry(c.zsr, c.amount, 1234);
    std::string text = FormatRegisterLine(c.id, entry);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    auto line = ParseRegisterLine(text);
    ASSERT_TRUE(line) << text;
    EXPECT_EQ(line->invoiceId, c.id) << text;
    EXPECT_EQ(line->entry, entry) << text;
  }
  EXPECT_EQ(FormatRegisterLine("A|B", Entry("Z1", "1%", 5)), "|A%7CB|1%25|5|Z1");
  EXPECT_EQ(FormatRegisterLine("A", Entry("", "1.00", 5)), "|A|1.00|5|");
}

TEST(RegisterLineTest, OrdinaryValuesAreNeverDecoded) {
  auto line = ParseRegisterLine("50%7C|1.00|5|Z%25");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->invoiceId, "50%7C");
  EXPECT_EQ(line->entry.zsr, "Z%25");
}

TEST(RegisterLineTest, ReadsAmountsAsNumbers) {
  EXPECT_EQ(ParseAmountNumber(" +125.50CHF"), 125.5);
  EXPECT_EQ(ParseAmountNumber("1e2"), 100.0);
  for (const char* text : {"", "abc", "+-1", "1e999"})
    EXPECT_FALSE(ParseAmountNumber(text)) << text;
}

}  // namespace
}  // namespace qx
