#include "formats/gni_reader.h"

#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/temp_dir.h"

namespace qx {
namespace {

// Records every call of the parser as "R name number" or "F number value".
class RecordingReader : public GniReader {
 public:
  std::vector<std::string> calls;

 protected:
  void RecordStart(std::string_view name, int32_t number) override {
    calls.push_back("R " + std::string(name) + " " + std::to_string(number));
  }
  void Field(int32_t number, std::string_view value) override {
    calls.push_back("F " + std::to_string(number) + " " + std::string(value));
  }
};

using Calls = std::vector<std::string>;

struct Outcome {
  bool ok;
  Calls calls;
};

Outcome ParseText(std::string_view text) {
  RecordingReader reader;
  bool ok = reader.ParseBytes(text);
  return {ok, reader.calls};
}

TEST(GniReaderTest, DeliversHeadersAndFieldsInFileOrder) {
  Outcome r = ParseText("[ADRPAT1]\n132=Muster\n133=Hans\n");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.calls, (Calls{"R ADRPAT 1", "F 132 Muster", "F 133 Hans"}));
}

TEST(GniReaderTest, ReadsHeaderAndFieldForms) {
  // Empty name, blanks in the name, leading zeros, a value with "=", "[" and blanks, an empty
  // value, and input directly after "]".
  Outcome r = ParseText("[1]\n[DEB X2]\n0115=a = [b] c\n119=\n[INFC3]200=x\n");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.calls,
            (Calls{"R  1", "R DEB X 2", "F 115 a = [b] c", "F 119 ", "R INFC 3", "F 200 x"}));
}

TEST(GniReaderTest, AcceptsEveryLineEndAndEmptyLines) {
  for (std::string_view end : {"\n", "\r", "\r\n"}) {
    std::string text = "[DEB1]" + std::string(end) + std::string(end) + "115=A" + std::string(end) +
                       "119=1" + std::string(end);
    Outcome r = ParseText(text);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.calls, (Calls{"R DEB 1", "F 115 A", "F 119 1"}));
  }
}

TEST(GniReaderTest, TextModeJoinsCrLfInsideARecordName) {
  // A name stores every non-digit; CR LF reads as a single LF, a lone CR stays CR.
  EXPECT_EQ(ParseText("[A\r\n7]\n").calls, (Calls{"R A\n 7"}));
  EXPECT_EQ(ParseText("[A\r7]\n").calls, (Calls{"R A\r 7"}));
}

TEST(GniReaderTest, ByteOneAEndsTheInput) {
  Outcome r =
      ParseText(std::string("[DEB1]\n115=A\n\x1A"
                            "garbage without line end"));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.calls, (Calls{"R DEB 1", "F 115 A"}));
  // The end mark cuts the last value off before its line end.
  EXPECT_FALSE(ParseText(std::string("[DEB1]\n115=A\x1A\n")).ok);
}

TEST(GniReaderTest, KeepsEveryByteOfAValue) {
  std::string value("a\0b\xE9\x80\t", 6);
  Outcome r = ParseText("[DEB1]\n115=" + value + "\n");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.calls.back(), "F 115 " + value);
}

TEST(GniReaderTest, StrictModeRejectsMalformedLines) {
  const char* malformed[] = {
      "[ADRPAT]\n115=A\n",         // header without number
      "[DEB1]\n115=A",             // last line without line end
      "[DEB1]\n 115=A\n",          // field line beginning with a blank
      "[DEB1]\n115x=A\n",          // number followed by something other than "="
      "[DEB1]\n115\n",             // number without "="
      "[DEB1]x\n",                 // text after "]"
      "[DEB1\n",                   // header without "]"
      "[DEB12",                    // header cut off at the end
      "[DEB",                      // name cut off at the end
      "[DEB1]\n<[DEB2]\n115=A\n",  // "<" consumes the "[" after it
      "[DEB1]\nText\n",
  };
  for (const char* text : malformed) EXPECT_FALSE(ParseText(text).ok) << text;
}

TEST(GniReaderTest, StopsAtTheFirstMalformedLineInStrictMode) {
  Outcome r = ParseText("[DEB1]\n115=A\nbad\n119=5\n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.calls, (Calls{"R DEB 1", "F 115 A"}));
}

TEST(GniReaderTest, NeedsARecordHeader) {
  EXPECT_FALSE(ParseText("").ok);
  EXPECT_FALSE(ParseText("\n\r\n\n").ok);
  // Fields are delivered, but without a header the text is not GNI.
  Outcome r = ParseText("115=A\n119=100\n");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.calls, (Calls{"F 115 A", "F 119 100"}));
}

TEST(GniReaderTest, AcceptsValuesAndNamesUpToTheirLimits) {
  std::string longest(GniReader::kMaxValueLength, 'v');
  Outcome r = ParseText("[DEB1]\n115=" + longest + "\n");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.calls.back(), "F 115 " + longest);
  EXPECT_FALSE(ParseText("[DEB1]\n115=" + longest + "v\n").ok);

  std::string name(GniReader::kMaxNameLength, 'N');
  r = ParseText("[" + name + "1]\n");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.calls, (Calls{"R " + name + " 1"}));
  EXPECT_FALSE(ParseText("[" + name + "N1]\n").ok);
}

TEST(GniReaderTest, NumbersWrapAroundInsteadOfOverflowing) {
  // The numbers are 32-bit and wrap like them: 4294967297 = 2^32 + 1, 4294967411 = 2^32 + 115,
  // 99999999999999999999 = 1661992959 modulo 2^32, 2147483648 = -2^31 modulo 2^32.
  Outcome r = ParseText("[DEB4294967297]\n4294967411=A\n99999999999999999999=B\n2147483648=C\n");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.calls, (Calls{"R DEB 1", "F 115 A", "F 1661992959 B", "F -2147483648 C"}));
}

TEST(GniReaderTest, QuestionMarkAfterLessThanSwitchesToLenientMode) {
  // Markup is skipped one character at a time; record headers and field lines are read, and
  // digits directly followed by "=" count as a field line even inside other text.
  Outcome r =
      ParseText("<?xml version=\"1.0\"?>\n<doc a=\"1\">[DEB1]\n115=A\n</doc>abc119=500\nrest\n");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.calls, (Calls{"R DEB 1", "F 115 A", "F 119 500"}));
}

TEST(GniReaderTest, LenientModeAlsoStartsDirectlyAfterAHeader) {
  Outcome r = ParseText("[DEB1]<?x ?>\n115=A\nnot a line\n");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.calls, (Calls{"R DEB 1", "F 115 A"}));
}

TEST(GniReaderTest, LenientModeDropsMalformedLinesWithoutCalls) {
  // "<[" consumes the "[", so "DEB2]" is no header; the value longer than the limit is dropped and
  // its remaining characters are read as new input.
  std::string tooLong(GniReader::kMaxValueLength + 5, 'x');
  Outcome r = ParseText("<?\n[DEB1]\n<[DEB2]\n12a3=B\n115=" + tooLong + "\n119=7\n");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.calls, (Calls{"R DEB 1", "F 3 B", "F 119 7"}));
}

TEST(GniReaderTest, LenientTextWithoutHeaderFails) {
  EXPECT_FALSE(ParseText("<?xml?><a>115=A\n</a>\n").ok);
}

TEST(GniReaderTest, ParseReadsFilesAndRefusesMissingOnes) {
  testing::TempDir dir;
  ASSERT_TRUE(testing::WriteFile(dir / "inv.gni", "[DEB1]\r\n115=A\r\n"));
  RecordingReader reader;
  EXPECT_TRUE(reader.Parse(dir / "inv.gni"));
  EXPECT_EQ(reader.calls, (Calls{"R DEB 1", "F 115 A"}));
  RecordingReader missing;
  EXPECT_FALSE(missing.Parse(dir / "none.gni"));
  RecordingReader folder;
  EXPECT_FALSE(folder.Parse(dir.path()));
  // A FIFO is no file to read: refused without waiting for a writer.
  ASSERT_EQ(mkfifo((dir / "fifo.gni").c_str(), 0600), 0);
  RecordingReader fifo;
  EXPECT_FALSE(fifo.Parse(dir / "fifo.gni"));
}

TEST(GniReaderTest, ParseStreamRefusesAFailedStream) {
  std::istringstream in("[DEB1]\n115=A\n");
  in.setstate(std::ios::failbit);
  RecordingReader reader;
  EXPECT_FALSE(reader.ParseStream(in));
  EXPECT_TRUE(reader.calls.empty());
}

TEST(GniReaderTest, EachParseNeedsItsOwnHeader) {
  RecordingReader reader;
  EXPECT_TRUE(reader.ParseBytes("[DEB1]\n"));
  EXPECT_FALSE(reader.ParseBytes("115=A\n"));
}

}  // namespace
}  // namespace qx
