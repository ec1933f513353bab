#include "crypto/identifiers.h"

#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/ole_date.h"

namespace qx {
namespace {

std::string Soundex(const std::string& utf8) {
  std::string code;
  int status = SoundexCode(TrimBlanks(Utf8ToCp1252(utf8)), &code);
  return status == kIdOk ? Cp1252ToUtf8(code) : "status " + std::to_string(status);
}

TEST(SoundexCode, GivesTheVariantsCodes) {
  EXPECT_EQ(Soundex("Robert"), "R163");
  EXPECT_EQ(Soundex("Rupert"), "R163");
  EXPECT_EQ(Soundex("Pfister"), "P236");  // P and F share a code
  EXPECT_EQ(Soundex("Tymczak"), "T522");
  EXPECT_EQ(Soundex("Ashcraft"), "A261");  // H separates S and C
  EXPECT_EQ(Soundex("Lloyd"), "L300");
  EXPECT_EQ(Soundex("Anna"), "A000");  // the first letter's own code is not kept
  EXPECT_EQ(Soundex("Müller"), "M460");
  EXPECT_EQ(Soundex(" robert "), "R163");
  EXPECT_EQ(Soundex("ölz"), "ö200");  // ö is not upper-cased and has no code
}

TEST(SoundexCode, RefusesEmptyTextAndDigits) {
  std::string code = "kept";
  EXPECT_EQ(SoundexCode("", &code), kIdEmptyText);
  EXPECT_EQ(SoundexCode("R2D2", &code), kIdTextHasDigit);
  EXPECT_EQ(code, "kept");
}

TEST(TrimBlanks, RemovesOnlyBlanks) {
  EXPECT_EQ(TrimBlanks("  abc  "), "abc");
  EXPECT_EQ(TrimBlanks("\tabc "), "\tabc");
  EXPECT_EQ(TrimBlanks("    "), "");
  EXPECT_EQ(TrimBlanks("a b"), "a b");
}

TEST(IsValidName, RejectsShortNamesDigitsAndDots) {
  EXPECT_TRUE(IsValidName("Al"));
  EXPECT_TRUE(IsValidName("O'Neill-Smith"));
  EXPECT_FALSE(IsValidName("A"));
  EXPECT_FALSE(IsValidName(""));
  EXPECT_FALSE(IsValidName("A."));
  EXPECT_FALSE(IsValidName("Anna2"));
}

TEST(PatientId, HashesTheTextOrMarksEmptyAndZero) {
  std::string id;
  ASSERT_EQ(PatientId("abc", &id), kIdOk);
  EXPECT_EQ(id, "a00c26c9cd0d89d");
  ASSERT_EQ(PatientId("", &id), kIdOk);
  EXPECT_EQ(id, "a10000000000000");
  ASSERT_EQ(PatientId("0", &id), kIdOk);
  EXPECT_EQ(id, "a20000000000000");
}

TEST(PatientId, HashesWindows1252Bytes) {
  std::string fromUtf8;
  std::string fromBytes;
  ASSERT_EQ(PatientId(Utf8ToCp1252("Ölz"), &fromUtf8), kIdOk);
  ASSERT_EQ(PatientId(std::string("\xD6lz"), &fromBytes), kIdOk);
  EXPECT_EQ(fromUtf8, fromBytes);
  std::string hex;
  ASSERT_TRUE(Sha1Hex(std::string("\xD6lz"), &hex));
  EXPECT_EQ(fromUtf8, "a0" + hex.substr(27));
}

Date MakeDate(int y, int m, int d) {
  Date date = 0;
  EXPECT_TRUE(DateFromCalendar({y, m, d, 0, 0, 0}, &date));
  return date;
}

TEST(PersonId, HashesTheKeyOfCodesDateAndZip) {
  std::string hex;
  ASSERT_TRUE(Sha1Hex("A000R163196503128001", &hex));
  std::string id;
  ASSERT_EQ(PersonId("Anna", "Robert", MakeDate(1965, 3, 12), "8001", &id), kIdOk);
  EXPECT_EQ(id, "a0d2564efa6f8a373b59c65177ec03");
  EXPECT_EQ(id, "a0" + hex.substr(12));
}

TEST(PersonId, InvalidDataGivesStatusBitsAndZeros) {
  std::string id;
  ASSERT_EQ(PersonId("A.", "Robert", MakeDate(1965, 3, 12), "801", &id), kIdOk);
  EXPECT_EQ(id, "a9" + std::string(28, '0'));
  ASSERT_EQ(PersonId("", "", 0, "", &id), kIdOk);
  EXPECT_EQ(id, "af" + std::string(28, '0'));
}

TEST(PersonStatus, ChecksTheBirthDateAgainstTheRangeAndToday) {
  const std::string today = "20240615";
  auto dateBit = [&](const std::string& dateText) {
    return PersonStatus("Anna", "Robert", dateText, "8001", today) & kBirthDateInvalid;
  };
  EXPECT_EQ(dateBit("18691231"), kBirthDateInvalid);
  EXPECT_EQ(dateBit("18700101"), 0);
  EXPECT_EQ(dateBit("20240615"), 0);  // today is valid
  EXPECT_EQ(dateBit("20240616"), kBirthDateInvalid);
  EXPECT_EQ(dateBit("99999999"), kBirthDateInvalid);
}

TEST(PersonStatus, ChecksTheZip) {
  auto zipBit = [](const std::string& zip) {
    return PersonStatus("Anna", "Robert", "19650312", zip, "20240615") & kZipInvalid;
  };
  EXPECT_EQ(zipBit("0999"), kZipInvalid);
  EXPECT_EQ(zipBit("12345"), kZipInvalid);
  EXPECT_EQ(zipBit("801"), kZipInvalid);
  EXPECT_EQ(zipBit("9999"), 0);
  EXPECT_EQ(zipBit("1000"), 0);
  EXPECT_EQ(zipBit("12a4"), kZipInvalid);  // the leading number is 12
}

TEST(BirthDateText, RoundTripsExactDatesOnly) {
  EXPECT_EQ(BirthDateText(MakeDate(1965, 3, 12)), "19650312");
  EXPECT_EQ(BirthDateText(MakeDate(1869, 12, 31)), "18691231");
  EXPECT_EQ(BirthDateText(0), "99999999");
  EXPECT_EQ(BirthDateText(MakeDate(1965, 3, 12) + 0.1 / 86400), "99999999");  // a tenth second
  EXPECT_EQ(BirthDateText(1e12), "99999999");
}

TEST(PersonId, DatesAroundTodayUseTheLocalClock) {
  // Today and tomorrow from the same clock the identifier reads.
  const std::string today = TodayText();
  int y = std::stoi(today.substr(0, 4)), m = std::stoi(today.substr(4, 2)),
      d = std::stoi(today.substr(6, 2));
  Date todayDate = MakeDate(y, m, d);
  std::string id;
  ASSERT_EQ(PersonId("Anna", "Robert", todayDate, "8001", &id), kIdOk);
  if (TodayText() == today) {  // unless midnight passed meanwhile
    EXPECT_EQ(id[1], '0');
  }
  ASSERT_EQ(PersonId("Anna", "Robert", todayDate + 1, "8001", &id), kIdOk);
  EXPECT_EQ(id, "a4" + std::string(28, '0'));
}

}  // namespace
}  // namespace qx
