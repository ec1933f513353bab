#include "anonymization/gni_splitter.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "crypto/identifiers.h"

namespace qx {
namespace {

// "a", status 0 and the last 28 hexadecimal digits of SHA-1("H200M460196503128001"): first name
// Hans, last name Müller, born 1965-03-12, postal code 8001.
const std::string kHansMueller = "a00e87cf3f53e66da306ea28a1178d";
// Every value missing: all four status bits.
const std::string kNobody = "af" + std::string(28, '0');
// Only a valid first name.
const std::string kFirstNameOnly = "ae" + std::string(28, '0');

const std::string kPatient =
    "[ADRPAT1]\n132=M\xFCller\n133=Hans\n136=8001\n155=1965\n157=1203\n140=Weg & 1\n";

struct SplitCase {
  const char* label;
  std::string input;
  std::string anonymized;
  std::string identifying;
  std::vector<std::string> codingLines;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
  *os << c.label;
}

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, FieldsGoWhereTheirRecordSays) {
  const SplitCase& c = GetParam();
  GniSplitter splitter;
  ASSERT_TRUE(splitter.Split(c.input));
  EXPECT_EQ(splitter.Anonymized(), c.anonymized);
  EXPECT_EQ(splitter.Identifying(), c.identifying);
  EXPECT_EQ(splitter.CodingLines(), c.codingLines);
}

INSTANTIATE_TEST_SUITE_P(
    Records, SplitTest,
    ::testing::Values(
        SplitCase{"PatientNameMaskedYearKeptIdentifierBeforeNextRecord",
                  kPatient + "[ADRDEB1]\n",
                  "[ADRPAT1]\n132=XXX\n155=1965\n269=" + kHansMueller + "\n[ADRDEB1]\n",
                  kPatient + "[ADRDEB1]\n",
                  {}},
        SplitCase{"PatientRecordEndingTheFileGetsItsIdentifier",
                  "[DEB1]\n" + kPatient,
                  "[DEB1]\n[ADRPAT1]\n132=XXX\n155=1965\n269=" + kHansMueller + "\n",
                  kPatient,
                  {}},
        SplitCase{"BlanksAroundNamesAndPostalCodeDoNotCount",
                  "[ADRPAT1]\n132= M\xFCller \n133=Hans \n136= 8001\n158=1965\n157=1203\n",
                  "[ADRPAT1]\n132=XXX\n158=1965\n269=" + kHansMueller + "\n",
                  "[ADRPAT1]\n132= M\xFCller \n133=Hans \n136= 8001\n158=1965\n157=1203\n",
                  {}},
        SplitCase{"LaterOf155And158IsTheYearBothStay",
                  "[ADRPAT1]\n132=M\xFCller\n133=Hans\n136=8001\n158=1950\n157=1203\n155=1965\n",
                  "[ADRPAT1]\n132=XXX\n158=1950\n155=1965\n269=" + kHansMueller + "\n",
                  "[ADRPAT1]\n132=M\xFCller\n133=Hans\n136=8001\n158=1950\n157=1203\n155=1965\n",
                  {}},
        SplitCase{"EachPatientRecordStartsWithoutTheValuesOfTheLast",
                  kPatient + "[ADRPAT2]\n133=Anna\n",
                  "[ADRPAT1]\n132=XXX\n155=1965\n269=" + kHansMueller +
                      "\n[ADRPAT2]\n269=" + kFirstNameOnly + "\n",
                  kPatient + "[ADRPAT2]\n133=Anna\n",
                  {}},
        SplitCase{"DebtorNameAndStreetMaskedAllIdentifying",
                  "[ADRDEB1]\n132=A<B\n137=Bahnhof & Co\n133=Eva\n",
                  "[ADRDEB1]\n132=XXX\n137=XXX\n",
                  "[ADRDEB1]\n132=A<B\n137=Bahnhof & Co\n133=Eva\n",
                  {}},
        SplitCase{"InvoiceField217OnlyIdentifyingOthersEscaped",
                  "[INFC1]\n115=A&B\n217=756<1>&\n119=12550\n",
                  "[INFC1]\n115=A&amp;B\n119=12550\n",
                  "[INFC1]\n217=756<1>&\n",
                  {}},
        SplitCase{"PaymentSlipCodingLineEscapedAndCollectedUnescaped",
                  "[BVR1]\n200=01>12+ 3>\n201=x<y\n[BVR2]\n200=02>\n",
                  "[BVR1]\n200=01&gt;12+ 3&gt;\n201=x&lt;y\n[BVR2]\n200=02&gt;\n",
                  "",
                  {"01>12+ 3>", "02>"}},
        SplitCase{"OtherRecordsAndFieldsBeforeTheFirstHeaderEscaped",
                  "100=a&b\n[DEBINFO1]\n100=Dr. <A> & B\n200=12>\n",
                  "100=a&amp;b\n[DEBINFO1]\n100=Dr. &lt;A&gt; &amp; B\n200=12&gt;\n",
                  "",
                  {}},
        SplitCase{"YearAndRecordNameCannotBreakTheMarkup",
                  "[ADRPAT1]\n155=19<5&\n[A<B&C1]\n",
                  "[ADRPAT1]\n155=19&lt;5&amp;\n269=" + kNobody + "\n[A&lt;B&amp;C1]\n",
                  "[ADRPAT1]\n155=19<5&\n",
                  {}},
        SplitCase{"RecordNamesInOtherCaseOrWithBlanksStillHideThePatient",
                  "[adrpat1]\n132=M\xFCller\n[ADRDEB 1]\n137=Weg 1\n",
                  "[adrpat1]\n132=XXX\n269=ad" + std::string(28, '0') + "\n[ADRDEB 1]\n137=XXX\n",
                  "[adrpat1]\n132=M\xFCller\n[ADRDEB 1]\n137=Weg 1\n",
                  {}},
        SplitCase{"BytesKeptLineEndsBecomeLf",
                  "[INFC1]\r\n115=\xE9\x80\x81\r217=\xFC\r\n",
                  "[INFC1]\n115=\xE9\x80\x81\n",
                  "[INFC1]\n217=\xFC\n",
                  {}},
        // XML allows no control character but tab and line ends, not even as a reference.
        SplitCase{"ControlBytesInClearBecomeQuestionMarks",
                  std::string("[INFC1]\n115=A\0B\x1F\t\n217=\x02\n[B\x01VR1]\n", 32),
                  "[INFC1]\n115=A?B?\t\n[B?VR1]\n",
                  "[INFC1]\n217=\x02\n",
                  {}},
        // Numbers are read modulo 2^32; they are written as read, never with a minus sign.
        SplitCase{"NumbersBeyond31BitsWrittenAsRead",
                  "[INFC3000000000]\n3000000001=x\n4294967411=Q-1\n4294967513=756\n",
                  "[INFC3000000000]\n3000000001=x\n115=Q-1\n",
                  "[INFC3000000000]\n217=756\n",
                  {}}),
    [](const auto& info) { return std::string(info.param.label); });

// The person identifier of Hans Müller, 8001, with the birth fields given.
struct BirthCase {
  const char* year;
  const char* dayMonth;
  const char* dateText;  // the date the identifier must be made of; "99999999" for none
};

void PrintTo(const BirthCase& c, std::ostream* os) {
  *os << c.year << "/" << c.dayMonth;
}

class BirthDateTest : public ::testing::TestWithParam<BirthCase> {};

TEST_P(BirthDateTest, DateComesFromYearAndDayMonth) {
  const BirthCase& c = GetParam();
  std::string expected;
  ASSERT_EQ(PersonIdFromDateText("Hans", "M\xFCller", c.dateText, "8001", TodayText(), &expected),
            kIdOk);
  EXPECT_EQ(GniPersonId("M\xFCller", "Hans", "8001", c.year, c.dayMonth), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, BirthDateTest,
    ::testing::Values(BirthCase{"1965", "1203", "19650312"},
                      BirthCase{" 1965x", "0103", "19650301"},
                      BirthCase{"2000", "2902", "20000229"}, BirthCase{"1965", "3102", "99999999"},
                      BirthCase{"1965", "1213", "99999999"}, BirthCase{"1965", "-1203", "99999999"},
                      BirthCase{"65", "1203", "99999999"},
                      BirthCase{"99999999999", "1203", "99999999"}, BirthCase{"", "", "99999999"}));

TEST(GniSplitterTest, NothingOfOneSplitReachesTheNext) {
  GniSplitter splitter;
  // Rejected in the middle of a patient record, after a coding line.
  ASSERT_FALSE(splitter.Split("[BVR1]\n200=01>\n" + kPatient + "no field\n"));
  ASSERT_TRUE(splitter.Split("[DEB1]\n[ADRPAT1]\n"));
  EXPECT_EQ(splitter.Anonymized(), "[DEB1]\n[ADRPAT1]\n269=" + kNobody + "\n");
  EXPECT_EQ(splitter.Identifying(), "[ADRPAT1]\n");
  EXPECT_TRUE(splitter.CodingLines().empty());

  // A file that ends in a patient record leaves no record open for the next one.
  ASSERT_TRUE(splitter.Split(kPatient));
  ASSERT_TRUE(splitter.Split("100=x\n[DEB1]\n"));
  EXPECT_EQ(splitter.Anonymized(), "100=x\n[DEB1]\n");
  EXPECT_EQ(splitter.Identifying(), "");
}

}  // namespace
}  // namespace qx
